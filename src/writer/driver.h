// A small streaming XML writer over an in-memory byte buffer, and the tag
// writer that the EncryptionInfo stream is built with.
//
// The writer never inserts line breaks or indentation of its own: the
// bytes are exactly what the calls ask for.

#ifndef CELLVAULT_WRITER_DRIVER_H_
#define CELLVAULT_WRITER_DRIVER_H_

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace cellvault {

// One attribute of a tag. The name is written unchanged, the value escaped.
struct XmlAttribute {
  std::string_view name;
  std::string value;
};

// XmlWriter appends XML to a byte buffer that it owns. Names are written
// unchanged, text and attribute values escaped. It cannot fail.
class XmlWriter {
 public:
  // write_declaration writes
  // <?xml version="V" encoding="E" standalone="S"?>.
  void write_declaration(std::string_view version, std::string_view encoding,
                         std::string_view standalone);
  // write_text writes |text| escaped.
  void write_text(std::string_view text);
  // write_start writes "<" and |name|; attributes may follow, then
  // close_start.
  void write_start(std::string_view name);
  // write_attribute writes ` name="value"` with the value escaped.
  void write_attribute(std::string_view name, std::string_view value);
  // close_start ends the open start tag with "/>" when |empty|, else ">".
  void close_start(bool empty);
  // write_end_tag writes "</name>".
  void write_end_tag(std::string_view name);

  const Bytes& buffer() const { return out_; }

 private:
  void raw(std::string_view s);
  void escaped(std::string_view s);

  Bytes out_;
};

// write_start_tag writes the start tag (|empty| false) or empty-element tag
// (|empty| true) |name| with |attributes| in list order: "<name", then
// ` attr="value"` for each, then ">" or "/>" with no space before the
// slash. Writing into memory cannot fail, so nothing is returned.
void write_start_tag(XmlWriter& writer, std::string_view name,
                     std::span<const XmlAttribute> attributes, bool empty);
void write_start_tag(XmlWriter& writer, std::string_view name,
                     std::initializer_list<XmlAttribute> attributes,
                     bool empty);

}  // namespace cellvault

#endif  // CELLVAULT_WRITER_DRIVER_H_
