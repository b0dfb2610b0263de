// Settings-file reader on arbitrary bytes: load, walk the tree with every
// lookup the settings store uses, write it, load the text again and write it
// again. The two written texts must agree: what the writer produces, the
// reader reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libs/tools/XML.h"

namespace {

void walk(XML::Node* n) {
    (void)n->getText();
    if (n->getName().getLength() > 0) {
        // Our own name looked up among our children: ignoring case, then exactly.
        (void)n->getNode(static_cast<char const*>(n->getName()));
        (void)n->getNode(n->getName());
    }
    for (int i = 0; i < n->getCountAttributes(); ++i) {
        XML::Attribute* a = n->getAttribute(i);
        char const* name = a->getName();
        int asInt = 0;
        unsigned asUnsigned = 0;
        bool asBool = false;
        float asFloat = 0;
        ZrString asText;
        n->getAttributeValue(name, asInt, 0);
        n->getAttributeValue(name, asUnsigned, 0u);
        n->getAttributeValue(name, asBool, false);
        n->getAttributeValue(name, asFloat, 0.0f);
        n->getAttributeValue(name, asText, "");
        if (std::strcmp(asText, n->getAttributeValue(name)) != 0) __builtin_trap();
    }
    for (int i = 0; i < n->getCountNodes(); ++i)
        walk(n->getNode(i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<char const*>(data),
                     size); // a NUL ends the text, as in a file read
    XML::Doc doc;
    doc.load(ZrString(text.c_str()));
    walk(&doc);
    (void)doc.getOrCreateNode("Settings");
    (void)doc.getNode("Settings");

    ZrString first;
    doc.buildXML(first);
    XML::Doc again;
    again.load(first);
    ZrString second;
    again.buildXML(second);
    if (std::strcmp(first, second) != 0) __builtin_trap();
    return 0;
}
