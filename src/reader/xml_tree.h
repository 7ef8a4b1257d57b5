// XmlTree: a small element tree of an XML document, parsed with expat.
//
// The encryption descriptor is XML from the file being read, so it is
// parsed by a maintained, long-fuzzed parser and never by hand. expat is in
// every Linux distribution, is small, is written in C with no further
// dependencies (easy to link into a wheel), and reports namespaces itself.
// On top of it this layer refuses what a descriptor never needs and an
// attacker could use: any document type declaration (and so any entity,
// internal or external), nesting deeper than kMaxXmlDepth, more than
// kMaxXmlElements elements, and text that is not well formed.

#ifndef CELLVAULT_READER_XML_TREE_H_
#define CELLVAULT_READER_XML_TREE_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/error.h"

namespace cellvault::reader {

// A descriptor nests four levels deep (encryption, keyEncryptors,
// keyEncryptor, encryptedKey); the caps leave room for extensions that
// other writers add without letting a file build a deep or wide tree.
inline constexpr size_t kMaxXmlDepth = 16;
inline constexpr size_t kMaxXmlElements = 256;

struct XmlElement {
  // The namespace URI and the local name; an element or attribute without
  // a namespace has an empty |ns|.
  std::string ns;
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // local name, value
  std::vector<XmlElement> children;

  // attribute returns the value of the attribute |local| that has no
  // namespace, or nullptr.
  const std::string* attribute(std::string_view local) const;
};

// parse_xml parses |text| (UTF-8 or with its own encoding declaration, as
// expat reads it) into a tree. Errors are damaged_descriptor with expat's
// message and the line and column, or naming the limit that was reached.
ReadResult<XmlElement> parse_xml(std::string_view text);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_XML_TREE_H_
