// Property-list conversion through the runtime's CoreFoundation, for callers that must hand the
// device exactly what CoreFoundation writes.
#pragma once

#include <string>
#include <string_view>

namespace bw {

// The binary form (version 1.0) of an XML property list. Empty on any failure, and always when
// the runtime's CoreFoundation lacks CFPropertyListCreateData.
std::string XmlPlistToBinary(std::string_view xml);

// The XML form of a binary property list. Empty on any failure.
std::string BinaryPlistToXml(std::string_view binary);

}  // namespace bw
