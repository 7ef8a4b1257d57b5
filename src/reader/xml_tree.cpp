#include "reader/xml_tree.h"

#include <expat.h>

#include <climits>
#include <memory>

namespace cellvault::reader {

namespace {

// Namespace URI and local name arrive joined by this character.
constexpr char kNsSeparator = '\x01';

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using Parser = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree>;

struct Builder {
  XML_Parser parser = nullptr;
  XmlElement root;
  bool have_root = false;
  // The open elements, outermost first; pointers into |root|'s tree stay
  // valid because a parent's children vector only grows while the child
  // is the last one, and nothing points below the last child.
  std::vector<XmlElement*> open;
  size_t elements = 0;
  std::string refusal;

  void refuse(std::string why) {
    if (refusal.empty()) refusal = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }
};

void split_name(const char* full, std::string* ns, std::string* local) {
  const std::string_view s(full);
  const size_t cut = s.find(kNsSeparator);
  if (cut == std::string_view::npos) {
    ns->clear();
    local->assign(s);
  } else {
    ns->assign(s.substr(0, cut));
    local->assign(s.substr(cut + 1));
  }
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* b = static_cast<Builder*>(data);
  if (++b->elements > kMaxXmlElements) {
    return b->refuse("the XML holds more than " + std::to_string(kMaxXmlElements) + " elements");
  }
  if (b->open.size() >= kMaxXmlDepth) {
    return b->refuse("the XML nests deeper than " + std::to_string(kMaxXmlDepth) + " elements");
  }
  XmlElement* e;
  if (b->open.empty()) {
    b->have_root = true;
    e = &b->root;
  } else {
    b->open.back()->children.emplace_back();
    e = &b->open.back()->children.back();
  }
  split_name(name, &e->ns, &e->name);
  for (size_t i = 0; attrs[i] != nullptr; i += 2) {
    std::string ns, local;
    split_name(attrs[i], &ns, &local);
    // Attributes in a namespace (xml:lang and the like) carry nothing
    // that the reader needs; keep only plain ones.
    if (ns.empty()) e->attributes.emplace_back(std::move(local), attrs[i + 1]);
  }
  b->open.push_back(e);
}

void XMLCALL on_end(void* data, const XML_Char*) {
  auto* b = static_cast<Builder*>(data);
  if (!b->open.empty()) b->open.pop_back();
}

void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  static_cast<Builder*>(data)->refuse("the XML has a document type declaration");
}

void XMLCALL on_entity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                       const XML_Char*, const XML_Char*, const XML_Char*) {
  static_cast<Builder*>(data)->refuse("the XML declares an entity");
}

int XMLCALL on_external_entity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                               const XML_Char*) {
  // Returning 0 makes expat fail with "error in processing external
  // entity reference": nothing outside the document is ever read.
  return XML_STATUS_ERROR;
}

}  // namespace

const std::string* XmlElement::attribute(std::string_view local) const {
  for (const auto& [k, v] : attributes) {
    if (k == local) return &v;
  }
  return nullptr;
}

ReadResult<XmlElement> parse_xml(std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    return Err{ReadError::damaged_descriptor("the XML is too large")};
  }
  Parser parser(XML_ParserCreateNS(nullptr, kNsSeparator));
  if (!parser) throw std::bad_alloc();
  Builder b;
  b.parser = parser.get();
  // Entities are refused before they could be expanded; expat's own
  // amplification limits stay in force as a second line.
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetUserData(parser.get(), &b);
  XML_SetElementHandler(parser.get(), on_start, on_end);
  XML_SetStartDoctypeDeclHandler(parser.get(), on_doctype);
  XML_SetEntityDeclHandler(parser.get(), on_entity);
  XML_SetExternalEntityRefHandler(parser.get(), on_external_entity);
  const XML_Status status =
      XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE);
  if (!b.refusal.empty()) return Err{ReadError::damaged_descriptor(b.refusal)};
  if (status != XML_STATUS_OK) {
    const XML_Error code = XML_GetErrorCode(parser.get());
    return Err{ReadError::damaged_descriptor(
        "the XML is not well formed: " + std::string(XML_ErrorString(code)) + " at line " +
        std::to_string(XML_GetCurrentLineNumber(parser.get())) + ", column " +
        std::to_string(XML_GetCurrentColumnNumber(parser.get())))};
  }
  if (!b.have_root) return Err{ReadError::damaged_descriptor("the XML has no element")};
  return std::move(b.root);
}

}  // namespace cellvault::reader
