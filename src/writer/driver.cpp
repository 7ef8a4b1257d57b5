#include "writer/driver.h"

namespace cellvault {

void XmlWriter::raw(std::string_view s) {
  out_.insert(out_.end(), s.begin(), s.end());
}

// The five characters with a meaning in XML markup are written as entity
// references, in text and in attribute values alike; every other byte
// (UTF-8 included) is copied.
void XmlWriter::escaped(std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&': raw("&amp;"); break;
      case '<': raw("&lt;"); break;
      case '>': raw("&gt;"); break;
      case '\'': raw("&apos;"); break;
      case '"': raw("&quot;"); break;
      default: out_.push_back(static_cast<uint8_t>(c));
    }
  }
}

void XmlWriter::write_declaration(std::string_view version,
                                  std::string_view encoding,
                                  std::string_view standalone) {
  raw("<?xml");
  write_attribute("version", version);
  write_attribute("encoding", encoding);
  write_attribute("standalone", standalone);
  raw("?>");
}

void XmlWriter::write_text(std::string_view text) { escaped(text); }

void XmlWriter::write_start(std::string_view name) {
  raw("<");
  raw(name);
}

void XmlWriter::write_attribute(std::string_view name,
                                std::string_view value) {
  raw(" ");
  raw(name);
  raw("=\"");
  escaped(value);
  raw("\"");
}

void XmlWriter::close_start(bool empty) { raw(empty ? "/>" : ">"); }

void XmlWriter::write_end_tag(std::string_view name) {
  raw("</");
  raw(name);
  raw(">");
}

void write_start_tag(XmlWriter& writer, std::string_view name,
                     std::span<const XmlAttribute> attributes, bool empty) {
  writer.write_start(name);
  for (const XmlAttribute& a : attributes) {
    writer.write_attribute(a.name, a.value);
  }
  writer.close_start(empty);
}

void write_start_tag(XmlWriter& writer, std::string_view name,
                     std::initializer_list<XmlAttribute> attributes,
                     bool empty) {
  write_start_tag(
      writer, name,
      std::span<const XmlAttribute>(attributes.begin(), attributes.size()),
      empty);
}

}  // namespace cellvault
