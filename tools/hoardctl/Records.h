#pragma once

// A record's attributes by name, read from its value text: the JSON form of a record (list, get
// and validate with --json) and the --match filters of list. The value text is the type's own
// registered text form, "Value('<type>', ** {'<attribute>': <text>, ...})", which names every
// attribute the record stores, so these work for every record type a table kind registers.
//
// Thread safety: single-threaded, as the commands.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Hoard/TableKind.h"
#include "contracts/Kiln/AttributeTexts.h"
#include "contracts/Kiln/GenericValue.h"

namespace Hoardctl {

using Kiln::attributeTexts;

// A value text as a JSON value: True and False as booleans, a decimal number as a number, a
// quoted string as the string it stands for, anything else (addresses, enumerators, nested
// values, inf and nan) as a string holding its text.
std::string jsonValue(std::string_view text);

// One JSON object: "type" (the record type), "key" (the key's value text), then every attribute
// of the record by name, and "keyAttributes", the key's attributes by name.
std::string recordJson(const Hoard::TableKind& kind, const Kiln::GenericValue& value);

// list's --match ATTRIBUTE=VALUE filters: a record passes when each named attribute (of the
// record, or else of its key) has VALUE as its value text, or, for a quoted string, as the
// string it stands for. A name that neither the record nor its key has is refused up front.
class RecordFilter {
  public:
    RecordFilter(const Hoard::TableKind& kind,
                 std::vector<std::pair<std::string, std::string>> matches);
    bool passes(const Kiln::GenericValue& value) const;
    bool empty() const { return matches_.empty(); }

  private:
    const Hoard::TableKind& kind_;
    std::vector<std::pair<std::string, std::string>> matches_;
};

}  // namespace Hoardctl
