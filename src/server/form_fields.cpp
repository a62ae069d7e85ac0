#include "server/form_fields.h"

#include "platform/unicode.h"
#include "server/quoted_printable.h"

#include <cstdio>

namespace telva {
namespace {

// Text goes into the body one byte per character (ISO-8859-1). ASCII text is that already and is used
// where it lies; other text is converted into `converted`.
std::string_view Latin1(std::string_view utf8, std::string& converted) {
    if (platform::IsAscii(utf8)) {
        return utf8;
    }
    converted = platform::Utf8ToLatin1(utf8);
    return converted;
}

// Runs the body encoding, handing each finished piece to `sink`. One scratch buffer carries the pieces so
// that the length and the bytes come from exactly the same code.
template <typename Sink> void EncodeBody(const FormFields& form, Sink&& sink) {
    if (form.empty()) {
        return;
    }
    const std::string& boundary = form.boundary();
    std::string piece;
    std::string converted;
    for (std::size_t i = 0; i < form.size(); ++i) {
        piece.clear();
        piece.append("--").append(boundary).append("\r\n");
        piece.append("Content-Disposition: form-data; name=\"");
        piece.append(Latin1(form.name(i), converted));
        piece.append("\"\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");
        const std::string_view value = form.value(i);
        if (value.empty()) {
            piece.append("\r\n");
        } else {
            AppendQuotedPrintable(Latin1(value, converted), piece);
        }
        sink(piece);
    }
    piece.clear();
    piece.append("--").append(boundary).append("--\r\n");
    sink(piece);
}

} // namespace

std::string MakeBoundary(const platform::LocalDateTime& t) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%02d%02d%02d%02d%02d%02d%03d", t.month % 100, t.day % 100,
                  t.year % 100, t.hour % 100, t.minute % 100, t.second % 100, t.millisecond % 1000);
    return std::string("--------") + digits;
}

FormFields::FormFields(const platform::LocalDateTime& created) : boundary_(MakeBoundary(created)) {}

void FormFields::AddField(std::string_view name, std::string_view value) {
    store_.append(name);
    const std::size_t name_end = store_.size();
    store_.append(value);
    ends_.push_back(FieldEnds{name_end, store_.size()});
}

std::string_view FormFields::name(std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : ends_[index - 1].value_end;
    return std::string_view(store_).substr(begin, ends_[index].name_end - begin);
}

std::string_view FormFields::value(std::size_t index) const {
    const FieldEnds& ends = ends_[index];
    return std::string_view(store_).substr(ends.name_end, ends.value_end - ends.name_end);
}

std::string FormFields::Body() const {
    std::string body;
    EncodeBody(*this, [&body](const std::string& piece) { body += piece; });
    return body;
}

void FormFields::WriteBody(const std::function<void(std::string_view)>& write) const {
    EncodeBody(*this, [&write](const std::string& piece) { write(piece); });
}

std::size_t FormFields::BodyLength() const {
    std::size_t length = 0;
    EncodeBody(*this, [&length](const std::string& piece) { length += piece.size(); });
    return length;
}

} // namespace telva
