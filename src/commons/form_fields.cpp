#include "commons/form_fields.h"

#include "commons/quoted_printable.h"
#include "platform/unicode.h"

#include <cstdio>

namespace telva {
namespace {

// Runs the body encoding, handing each finished piece to `sink`. One scratch buffer carries the pieces so
// that the length and the bytes come from exactly the same code.
template <typename Sink>
void EncodeBody(const std::string& boundary, const std::vector<FormField>& fields, Sink&& sink) {
    if (fields.empty()) {
        return;
    }
    std::string piece;
    for (const FormField& field : fields) {
        piece.clear();
        piece.append("--").append(boundary).append("\r\n");
        piece.append("Content-Disposition: form-data; name=\"");
        piece.append(platform::Utf8ToLatin1(field.name));
        piece.append("\"\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");
        if (field.value.empty()) {
            piece.append("\r\n");
        } else {
            AppendQuotedPrintable(platform::Utf8ToLatin1(field.value), piece);
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

FormFields::FormFields(TimeSource& time) : boundary_(MakeBoundary(time.Now())) {}

void FormFields::AddField(std::string name, std::string value) {
    fields_.push_back(FormField{std::move(name), std::move(value)});
}

std::string FormFields::Body() const {
    std::string body;
    EncodeBody(boundary_, fields_, [&body](const std::string& piece) { body += piece; });
    return body;
}

void FormFields::WriteBody(const std::function<void(std::string_view)>& write) const {
    EncodeBody(boundary_, fields_, [&write](const std::string& piece) { write(piece); });
}

std::size_t FormFields::BodyLength() const {
    std::size_t length = 0;
    EncodeBody(boundary_, fields_, [&length](const std::string& piece) { length += piece.size(); });
    return length;
}

} // namespace telva
