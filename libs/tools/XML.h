// A small XML reader and writer for settings files.
//
// A Doc is the root element of a tree of Nodes; every Node has a name, the
// last text run read inside it, ordered children and ordered Attributes.
// The reader works in place on a text buffer and never reports failure: it
// stops, and the tree keeps what was read so far. The writer produces an
// indented text with an ISO-8859-1 header line.
#pragma once

#include "libs/tools/ZrCollection.h"
#include "libs/tools/ZrString.h"

namespace XML {

class Doc;

// The five escapes of attribute values: "&" first on the way out, last on
// the way in, so entity texts held in a value survive a round trip.
void preStreaming(ZrString& text);
void postStreaming(ZrString& text);

class Attribute : public ZrObject {
public:
    explicit Attribute(const char* name);
    Attribute(const char* name, const char* value);
    Attribute(const char* name, int value);
    Attribute(const char* name, float value);
    Attribute(const char* name, bool value);
    ~Attribute() override;

    void setName(const char* name);
    ZrString const& getName() const { return mName; }
    void setValue(const char* value);
    void setValue(int value);
    void setValue(unsigned value);
    void setValue(float value);
    void setValue(bool value);
    ZrString const& getValue() const { return mValue; }

    int getValueLong() const;
    unsigned getValueULong() const;
    bool getValueBool() const;
    float getValueFloat() const;

    void buildXML(ZrString& out) const;

private:
    ZrString mName;
    ZrString mValue;
};

class Node : public ZrObject {
public:
    explicit Node(Doc* doc);
    Node(Doc* doc, ZrString const& name);
    Node(Doc* doc, const char* name);
    ~Node() override;

    // The reader asks these for "<?...?>" and "<!--...-->"; false ends the
    // parse. A plain element refuses headers.
    virtual bool onTagHeader(char* text);
    virtual bool onTagComment(char* text);

    void setName(ZrString const& name) { mName.assign(name); }
    ZrString const& getName() const { return mName; }
    const char* getText() const { return mText; }
    Doc* getDoc() const { return mDoc; }

    Node* addNode(Node* node);
    Node* addNode(ZrString const& name);
    Node* addNode(const char* name);
    Node* getNode(ZrString const& name);
    Node* getNode(const char* name);
    Node* getNode(int index);
    Node* getOrCreateNode(ZrString const& name);
    Node* getOrCreateNode(const char* name);
    int getCountNodes() const { return mChildren.count(); }
    int getCountAttributes() const { return mAttributes.count(); }

    Attribute* addAttribute(Attribute* attribute);
    Attribute* addAttribute(ZrString const& name, int value);
    Attribute* addAttribute(ZrString const& name, float value);
    Attribute* addAttribute(ZrString const& name, ZrString const& value);
    Attribute* getAttribute(const char* name, bool create);
    Attribute* getAttribute(int index);
    const char* getAttributeValue(const char* name);
    void getAttributeValue(const char* name, ZrString& out, const char* fallback);
    void getAttributeValue(const char* name, int& out, int fallback);
    void getAttributeValue(const char* name, bool& out, bool fallback);
    void getAttributeValue(const char* name, unsigned& out, unsigned fallback);
    void getAttributeValue(const char* name, float& out, float fallback);

    void releaseNode(Node* node);
    void releaseAttribute(Attribute* attribute);
    void removeChilds() { mChildren.removeAll(); }
    void removeAttributes() { mAttributes.removeAll(); }
    void clear();
    void countNodesAndAttributes(int& nodes, int& attributes) const;

    void buildXML(ZrString& out, int depth) const;
    static void addLevelString(ZrString& out, int depth);

    // Reader steps; each returns where reading goes on, null for a failure
    // (skipNodeName never fails).
    char* doParse(char* text);
    char* parseNode(char* text) { return parseNode(text, 1); }
    static char* skipNodeName(char* text);
    static char* skipAttrName(char* text);
    static char* skipAttrValue(char* text);

    // Elements nested deeper than this end the parse: the reader recurses
    // once per level and the text is untrusted.
    static constexpr int kMaxDepth = 256;

protected:
    void buildChildren(ZrString& out, int depth) const;

    Doc* mDoc;

private:
    char* parseNode(char* text, int depth);
    char* readChild(char* text, int depth);
    Attribute* findAttribute(const char* name);

    ZrString mName;
    ZrString mText;
    // Destroyed in reverse order: attributes first, then the subtree.
    ZrCollection mChildren;
    ZrCollection mAttributes;
};

class Doc : public Node {
public:
    Doc();
    explicit Doc(ZrString const& text);
    ~Doc() override;

    bool onTagHeader(char* text) override;

    // Parses a copy; the caller's text is unchanged. What is read is added
    // to the children already there.
    void load(ZrString const& text);
    // Parses text in place: its buffer is rewritten and of no further use.
    void parse(ZrString& text);
    void buildXML(ZrString& out) const;
    ZrString const& getDocBase() const { return mBase; }

private:
    ZrString mBase;
};

} // namespace XML
