#include "libs/tools/XML.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace XML {

namespace {

char const kHeader[] = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";

inline bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// Name characters are letters, digits and the underscore. The digit test is
// explicit: the library's cfIsDigit also accepts the terminator, which would
// carry a name loop past the end of the text.
inline bool isNameChar(char c) {
    return cfIsCSymbol(c) || isAsciiDigit(c);
}
inline bool isNameStart(char c) {
    return cfIsAlpha(c) || isAsciiDigit(c);
}

// A freshly made node or attribute whose adding was refused is ours to
// delete; added, it belongs to the collection.
template <class T> T* keptOrDeleted(T* made, T* added) {
    if (!added) delete made;
    return added;
}

inline bool startsComment(char const* p) {
    return p[0] == '<' && p[1] == '!' && p[2] == '-' && p[3] == '-';
}

// Passes "<!--...-->" at p to the element's comment hook; returns where
// reading goes on, null when the comment is not closed or was refused.
char* readComment(Node& node, char* p) {
    char* end = std::strstr(p + 4, "-->");
    if (!end) return nullptr;
    *end = 0;
    if (!node.onTagComment(p + 4)) return nullptr;
    return end + 3;
}

} // namespace

// ---- escaping ----

void preStreaming(ZrString& text) {
    text.replace("&", "&amp;");
    text.replace("'", "&apos;");
    text.replace(">", "&gt;");
    text.replace("<", "&lt;");
    text.replace("\"", "&quot;");
}

void postStreaming(ZrString& text) {
    text.replace("&quot;", "\"");
    text.replace("&lt;", "<");
    text.replace("&gt;", ">");
    text.replace("&apos;", "'");
    text.replace("&amp;", "&");
}

// ---- Attribute ----

Attribute::Attribute(const char* name) : mName(name) {}

Attribute::Attribute(const char* name, const char* value) : mName(name), mValue(value) {}

Attribute::Attribute(const char* name, int value) : mName(name) {
    setValue(value);
}

Attribute::Attribute(const char* name, float value) : mName(name) {
    setValue(value);
}

Attribute::Attribute(const char* name, bool value) : mName(name) {
    setValue(value);
}

Attribute::~Attribute() {}

void Attribute::setName(const char* name) {
    mName.assign(name);
}

void Attribute::setValue(const char* value) {
    mValue.assign(value);
}

void Attribute::setValue(int value) {
    mValue.printf("%d", value);
}

void Attribute::setValue(unsigned value) {
    mValue.printf("%u", value);
}

void Attribute::setValue(float value) {
    mValue.printf("%e", static_cast<double>(value));
}

void Attribute::setValue(bool value) {
    mValue.assign(value ? "1" : "0");
}

int Attribute::getValueLong() const {
    long v = std::strtol(mValue, nullptr, 10);
    return static_cast<int>(static_cast<unsigned long>(v) & 0xFFFFFFFFul);
}

unsigned Attribute::getValueULong() const {
    unsigned long v = std::strtoul(mValue, nullptr, 10);
    return static_cast<unsigned>(v & 0xFFFFFFFFul);
}

bool Attribute::getValueBool() const {
    return std::strtol(mValue, nullptr, 10) != 0;
}

float Attribute::getValueFloat() const {
    double v = std::atof(mValue);
    // Out of float's range the narrowing is undefined; saturate instead.
    if (v > FLT_MAX) return HUGE_VALF;
    if (v < -FLT_MAX) return -HUGE_VALF;
    return static_cast<float>(v);
}

void Attribute::buildXML(ZrString& out) const {
    if (mName.isEmpty()) return;
    ZrString value(mValue);
    preStreaming(value);
    out += " ";
    out += mName;
    out += "=\"";
    out += value;
    out += "\"";
}

// ---- Node: tree ----

Node::Node(Doc* doc) : mDoc(doc) {}

Node::Node(Doc* doc, ZrString const& name) : mDoc(doc), mName(name) {}

Node::Node(Doc* doc, const char* name) : mDoc(doc), mName(name) {}

Node::~Node() {}

bool Node::onTagHeader(char*) {
    return false;
}

bool Node::onTagComment(char*) {
    return true;
}

Node* Node::addNode(Node* node) {
    if (!node || mChildren.findSame(node)) return nullptr;
    if (!mChildren.add(node)) return nullptr;
    node->mDoc = mDoc;
    return node;
}

Node* Node::addNode(ZrString const& name) {
    Node* node = new Node(mDoc, name);
    return keptOrDeleted(node, addNode(node));
}

Node* Node::addNode(const char* name) {
    Node* node = new Node(mDoc, name);
    return keptOrDeleted(node, addNode(node));
}

Node* Node::getNode(ZrString const& name) {
    for (int i = 0; i < mChildren.count(); ++i) {
        Node* n = static_cast<Node*>(mChildren.atPos(i));
        if (n->mName.compare(name) == 0) return n; // exact bytes, letter case included
    }
    return nullptr;
}

Node* Node::getNode(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < mChildren.count(); ++i) {
        Node* n = static_cast<Node*>(mChildren.atPos(i));
        if (cfStricmp(n->mName, name) == 0) return n;
    }
    return nullptr;
}

Node* Node::getNode(int index) {
    return static_cast<Node*>(mChildren.atPos(index));
}

Node* Node::getOrCreateNode(ZrString const& name) {
    Node* n = getNode(name);
    return n ? n : addNode(name);
}

Node* Node::getOrCreateNode(const char* name) {
    Node* n = getNode(name);
    return n ? n : addNode(name);
}

Attribute* Node::addAttribute(Attribute* attribute) {
    if (!attribute || mAttributes.findSame(attribute)) return nullptr;
    if (!mAttributes.add(attribute)) return nullptr;
    return attribute;
}

Attribute* Node::addAttribute(ZrString const& name, int value) {
    Attribute* a = new Attribute(name, value);
    return keptOrDeleted(a, addAttribute(a));
}

Attribute* Node::addAttribute(ZrString const& name, float value) {
    Attribute* a = new Attribute(name, value);
    return keptOrDeleted(a, addAttribute(a));
}

Attribute* Node::addAttribute(ZrString const& name, ZrString const& value) {
    Attribute* a = new Attribute(name, static_cast<const char*>(value));
    return keptOrDeleted(a, addAttribute(a));
}

Attribute* Node::findAttribute(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < mAttributes.count(); ++i) {
        Attribute* a = static_cast<Attribute*>(mAttributes.atPos(i));
        if (cfStricmp(a->getName(), name) == 0) return a;
    }
    return nullptr;
}

Attribute* Node::getAttribute(const char* name, bool create) {
    Attribute* a = findAttribute(name);
    if (a || !create || !name) return a;
    a = new Attribute(name);
    return keptOrDeleted(a, addAttribute(a));
}

Attribute* Node::getAttribute(int index) {
    return static_cast<Attribute*>(mAttributes.atPos(index));
}

const char* Node::getAttributeValue(const char* name) {
    Attribute* a = findAttribute(name);
    return a ? static_cast<const char*>(a->getValue()) : "";
}

void Node::getAttributeValue(const char* name, ZrString& out, const char* fallback) {
    Attribute* a = findAttribute(name);
    out.assign(a ? static_cast<const char*>(a->getValue()) : fallback);
}

void Node::getAttributeValue(const char* name, int& out, int fallback) {
    Attribute* a = findAttribute(name);
    out = a ? a->getValueLong() : fallback;
}

void Node::getAttributeValue(const char* name, bool& out, bool fallback) {
    Attribute* a = findAttribute(name);
    out = a ? a->getValueBool() : fallback;
}

void Node::getAttributeValue(const char* name, unsigned& out, unsigned fallback) {
    Attribute* a = findAttribute(name);
    out = a ? a->getValueULong() : fallback;
}

void Node::getAttributeValue(const char* name, float& out, float fallback) {
    Attribute* a = findAttribute(name);
    out = a ? a->getValueFloat() : fallback;
}

void Node::releaseNode(Node* node) {
    mChildren.remove(node);
}

void Node::releaseAttribute(Attribute* attribute) {
    mAttributes.remove(attribute);
}

void Node::clear() {
    removeAttributes();
    removeChilds();
}

void Node::countNodesAndAttributes(int& nodes, int& attributes) const {
    nodes += mChildren.count();
    attributes += mAttributes.count();
    for (int i = 0; i < mChildren.count(); ++i)
        static_cast<Node const*>(mChildren.atPos(i))->countNodesAndAttributes(nodes, attributes);
}

// ---- Node: writer ----

void Node::addLevelString(ZrString& out, int depth) {
    // A run of tabs per append rather than one append per level.
    static constexpr char kTabs[] =
        "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    constexpr int kRun = static_cast<int>(sizeof kTabs) - 1;
    for (; depth > 0; depth -= kRun)
        out += kTabs + (depth < kRun ? kRun - depth : 0);
}

void Node::buildChildren(ZrString& out, int depth) const {
    for (int i = 0; i < mChildren.count(); ++i)
        static_cast<Node const*>(mChildren.atPos(i))->buildXML(out, depth);
}

void Node::buildXML(ZrString& out, int depth) const {
    if (mName.isEmpty()) return;
    addLevelString(out, depth);
    out += "<";
    out += mName;
    for (int i = 0; i < mAttributes.count(); ++i)
        static_cast<Attribute const*>(mAttributes.atPos(i))->buildXML(out);
    if (mChildren.count() > 0) {
        out += ">\n";
        buildChildren(out, depth + 1);
        addLevelString(out, depth);
        out += "</";
        out += mName;
        out += ">\n";
    } else {
        out += "/>\n";
    }
}

// ---- Node: reader ----

char* Node::skipNodeName(char* text) {
    // The name follows the "<" or "/" at text; it is moved one place left,
    // over that character, and terminated where it lies.
    char* start = text + 1;
    char* end = start;
    while (isNameChar(*end))
        ++end;
    size_t n = static_cast<size_t>(end - start);
    std::memmove(text, start, n);
    text[n] = 0;
    return end;
}

char* Node::skipAttrName(char* text) {
    char* end = text;
    while (isNameChar(*end))
        ++end;
    char* p = end;
    while (cfIsSpace(*p))
        ++p;
    if (*p != '=') return nullptr;
    ++p;
    *end = 0;
    while (cfIsSpace(*p))
        ++p;
    if (*p != '"') return nullptr;
    return p;
}

char* Node::skipAttrValue(char* text) {
    char* end = std::strchr(text + 1, '"');
    if (!end) return nullptr;
    *end = 0;
    return end + 1;
}

char* Node::readChild(char* text, int depth) {
    if (depth > kMaxDepth) return nullptr;
    char* rest = skipNodeName(text);
    Node* child = new Node(mDoc, text);
    if (!keptOrDeleted(child, addNode(child))) return nullptr;
    return child->parseNode(rest, depth);
}

char* Node::doParse(char* p) {
    for (;;) {
        char c = *p;
        if (!c) return p;
        if (c != '<') {
            ++p;
            continue;
        }
        if (startsComment(p)) {
            p = readComment(*this, p);
        } else if (p[1] == '!') {
            if (cfStrnicmp(p + 2, "doctype", 7) != 0) return nullptr;
            char* gt = std::strchr(p, '>');
            p = gt ? gt + 1 : nullptr;
        } else if (p[1] == '?') {
            char* end = std::strstr(p + 2, "?>");
            if (!end) return nullptr;
            *end = 0;
            p = onTagHeader(p + 2) ? end + 2 : nullptr;
        } else if (isNameStart(p[1])) {
            p = readChild(p, 1);
        } else {
            return nullptr;
        }
        if (!p) return nullptr;
    }
}

char* Node::parseNode(char* p, int depth) {
    bool inStartTag = true;
    for (;;) {
        char c = *p;
        if (!c) return p; // never closed: kept as read
        if (cfIsSpace(c)) {
            *p++ = 0;
            continue;
        }
        if (c == '>') {
            inStartTag = false;
            ++p;
            continue;
        }
        if (c == '/' && p[1] == '>') return p + 2;
        if (c == '<') {
            if (isNameStart(p[1])) {
                p = readChild(p, depth + 1);
            } else if (p[1] == '/') {
                char* name = p + 1;
                char* q = skipNodeName(p + 1);
                while (cfIsSpace(*q))
                    ++q;
                if (std::strcmp(name, mName) != 0 || *q != '>') return nullptr;
                return q + 1;
            } else if (startsComment(p)) {
                // Comments anywhere go to the document's hook: it is the
                // one a settings store overrides.
                p = readComment(mDoc ? *static_cast<Node*>(mDoc) : *this, p);
            } else {
                // A stray "<", a header or a CDATA section inside an element.
                return nullptr;
            }
            if (!p) return nullptr;
            continue;
        }
        if (inStartTag && cfIsAlpha(c)) {
            char* quote = skipAttrName(p);
            if (!quote) return nullptr;
            char* next = skipAttrValue(quote);
            if (!next) return nullptr;
            ZrString value(quote + 1);
            postStreaming(value);
            Attribute* a = new Attribute(p, static_cast<const char*>(value));
            if (!keptOrDeleted(a, addAttribute(a))) return nullptr;
            p = next;
            continue;
        }
        // A text run up to the next "<"; the last run wins.
        char* lt = std::strchr(p, '<');
        if (!lt) return nullptr;
        *lt = 0;
        mText.assign(p);
        *lt = '<';
        p = lt;
    }
}

// ---- Doc ----

Doc::Doc() : Node(nullptr) {
    mDoc = this;
}

Doc::Doc(ZrString const& text) : Doc() {
    load(text);
}

Doc::~Doc() {}

bool Doc::onTagHeader(char*) {
    return true;
}

void Doc::load(ZrString const& text) {
    ZrString copy(text);
    parse(copy);
}

void Doc::parse(ZrString& text) {
    mBase.assign("");
    char* buffer = const_cast<char*>(static_cast<const char*>(text));
    // Drop white space at the start and after every ">", wherever it is.
    char* out = buffer;
    bool dropping = true;
    for (char* in = buffer; *in; ++in) {
        if (dropping && cfIsSpace(*in)) continue;
        *out++ = *in;
        dropping = (*in == '>');
    }
    *out = 0;
    doParse(buffer);
    text.countLength();
}

void Doc::buildXML(ZrString& out) const {
    int nodes = 0;
    int attributes = 0;
    countNodesAndAttributes(nodes, attributes);
    long long reserve = 32ll * (static_cast<long long>(nodes) + attributes);
    out.setSize(reserve > 0x7FFFFF00ll ? 0x7FFFFF00 : static_cast<int>(reserve));
    out.assign(kHeader);
    buildChildren(out, 0);
}

} // namespace XML
