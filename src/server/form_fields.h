#pragma once
// A multipart/form-data form: an ordered list of text fields and the boundary fixed when the form was
// made. Every encoding of the same form yields the same bytes, so a form can be sent again after a
// re-login.

#include "platform/clock.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

class FormFields {
public:
    // An empty form whose boundary comes from `created`, the local date and time it is made at.
    explicit FormFields(const platform::LocalDateTime& created);

    // Appends one field: an ASCII name of the form data[...] and any UTF-8 text, possibly empty, as its
    // value. Fields are never reordered or removed.
    void AddField(std::string_view name, std::string_view value);

    // Eight hyphens and 15 digits: month, day, two-digit year, hour, minute, second, millisecond.
    const std::string& boundary() const { return boundary_; }
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    // The name and value of field `index` (from 0, in the order added).
    std::string_view name(std::size_t index) const;
    std::string_view value(std::size_t index) const;

    // The body bytes: for each field a part header and its quoted-printable data, then the closing
    // delimiter; nothing at all for an empty form.
    std::string Body() const;
    // The number of bytes Body() yields, computed by running the same encoding.
    std::size_t BodyLength() const;
    // The same bytes handed to `write` piece by piece (one part at a time), so that a large form can be
    // sent without the whole body in memory.
    void WriteBody(const std::function<void(std::string_view)>& write) const;

private:
    // Every name and value, one after another in one store (a large form is tens of thousands of fields),
    // and where each field's name and value end in it.
    struct FieldEnds {
        std::size_t name_end;
        std::size_t value_end;
    };
    std::string boundary_;
    std::string store_;
    std::vector<FieldEnds> ends_;
};

// The boundary for a form created at `time`.
std::string MakeBoundary(const platform::LocalDateTime& time);

} // namespace telva
