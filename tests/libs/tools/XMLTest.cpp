// The XML reader (malformed and hostile input included) and writer.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "libs/tools/XML.h"

namespace {

// A compact picture of a tree: name(attributes)'text'{children}.
std::string dump(XML::Node* n) {
    std::string s = static_cast<char const*>(n->getName());
    if (n->getCountAttributes()) {
        s += "(";
        for (int i = 0; i < n->getCountAttributes(); ++i) {
            if (i) s += ";";
            s += static_cast<char const*>(n->getAttribute(i)->getName());
            s += "=";
            s += static_cast<char const*>(n->getAttribute(i)->getValue());
        }
        s += ")";
    }
    if (*n->getText()) s += std::string("'") + n->getText() + "'";
    if (n->getCountNodes()) {
        s += "{";
        for (int i = 0; i < n->getCountNodes(); ++i) {
            if (i) s += " ";
            s += dump(n->getNode(i));
        }
        s += "}";
    }
    return s;
}

std::string children(XML::Doc& d) {
    std::string s;
    for (int i = 0; i < d.getCountNodes(); ++i) {
        if (i) s += " ";
        s += dump(d.getNode(i));
    }
    return s;
}

struct ReadCase {
    char const* what;
    char const* text;
    char const* tree;
};

TEST(XMLReader, EdgeCases) {
    ReadCase const cases[] = {
        {"empty text", "", ""},
        {"no markup", "just some words", ""},
        {"header accepted by a document", "<?xml version=\"1.0\"?><a/>", "a"},
        {"doctype in any case", "<!DocType settings><a/>", "a"},
        {"doctype without end", "<!DOCTYPE x", ""},
        {"cdata at top level ends the parse", "<![CDATA[x]]><a/>", ""},
        {"other <! ends the parse", "<!ELEMENT x><a/>", ""},
        {"several top-level elements", "<a/><b/><c/>", "a b c"},
        {"leading white space", "  \n\t<a/>", "a"},
        {"element never closed", "<a x=\"1\"><b/>", "a(x=1){b}"},
        {"end tag in other case", "<a><b></B><c/></a><d/>", "a{b}"},
        {"end tag with trailing blanks", "<a></a  ><b/>", "a b"},
        {"end tag cut off", "<a></a", "a"},
        {"unclosed end tag name", "<a></", "a"},
        {"stray end tag at top", "<a/></a><b/>", "a"},
        {"raw markup characters in a value", "<a v=\"<>'\"/>", "a(v=<>')"},
        {"value entities replaced, text entities kept", "<a v=\"&lt;&amp;lt;&quot;\">t&amp;</a>",
         "a(v=<&lt;\")'t&amp;'"},
        {"white space after > is lost in a value", "<a v=\"x> y\"/>", "a(v=x>y)"},
        {"single quotes end the parse", "<a v='x'/><b/>", "a"},
        {"blanks around the equals sign", "<a b = \"1\" />", "a(b=1)"},
        {"attribute without value", "<a x/><b/>", "a"},
        {"attribute value never closed", "<a x=\"open/><b/>", "a"},
        {"repeated attribute names kept", "<a x=\"1\" x=\"2\"/>", "a(x=1;x=2)"},
        {"last text run wins", "<a>one<b/>two</a>", "a'two'{b}"},
        {"text without a following tag", "<a>text", "a"},
        {"digit where an attribute starts", "<a 1b=\"x\"><c/></a>", "a'1b=\"x\">'{c}"},
        {"nested", "<a><b><c/></b><d/></a>", "a{b{c} d}"},
        {"indented document", "<a>\n  <b/>\n  <c k=\"v\"/>\n</a>\n", "a{b c(k=v)}"},
        {"name starting with a digit", "<1a/>", "1a"},
        {"name starting with an underscore", "<_a/>", ""},
        {"open tag at the end of the text", "<abc", "abc"},
        {"attribute name at the end of the text", "<a bc", "a"},
        {"child open at the end of the text", "<a><b", "a{b}"},
        {"lone < at the end", "<a><", "a"},
        {"comment at top level", "<!-- note --><a/>", "a"},
        {"comment never closed", "<!-- note <a/>", ""},
        {"comment inside an element", "<a><!-- c --><b/></a><d/>", "a{b} d"},
        {"comment inside an element never closed", "<a><!-- c <b/></a>", "a"},
        {"header inside an element", "<a><?pi?><b/></a>", "a"},
        {"cdata inside an element", "<a><![CDATA[x]]><b/></a>", "a"},
        {"stray < inside an element", "<a>< b/></a><c/>", "a"},
        {"header never closed", "<?xml <a/>", ""},
        {"text between elements ignored", "x<a/>y<b/>z", "a b"},
    };
    for (auto const& c : cases) {
        XML::Doc d;
        d.load(ZrString(c.text));
        EXPECT_EQ(children(d), c.tree) << c.what;
    }
}

TEST(XMLReader, LoadLeavesTheCallersTextAndAppends) {
    ZrString text("<a x=\"1\"/>");
    XML::Doc d;
    d.load(text);
    d.load(text);
    EXPECT_STREQ(text, "<a x=\"1\"/>");
    EXPECT_EQ(children(d), "a(x=1) a(x=1)");
    EXPECT_STREQ(d.getDocBase(), "");
    EXPECT_EQ(d.getNode(1)->getDoc(), &d);

    XML::Doc fromText(ZrString("<Settings/>"));
    EXPECT_EQ(children(fromText), "Settings");
}

TEST(XMLReader, ParseWorksInPlace) {
    ZrString text("<a>  <b/></a>");
    XML::Doc d;
    d.parse(text);
    EXPECT_EQ(children(d), "a{b}");
}

TEST(XMLReader, PlainElementRefusesAHeader) {
    XML::Doc d;
    XML::Node* root = d.addNode("root");
    char text[] = "<?xml?><a/>";
    EXPECT_EQ(root->doParse(text), nullptr);
    EXPECT_EQ(root->getCountNodes(), 0);
    char ok[] = "<a/><b/>";
    EXPECT_NE(root->doParse(ok), nullptr);
    EXPECT_EQ(dump(root), "root{a b}");
}

class CommentLog : public XML::Doc {
public:
    bool onTagComment(char* text) override {
        comments.emplace_back(text);
        return answer;
    }
    std::vector<std::string> comments;
    bool answer = true;
};

TEST(XMLReader, CommentsGoToTheHook) {
    CommentLog d;
    d.load(ZrString("<!--top--><a><!--inner--><b/></a>"));
    EXPECT_EQ(d.comments, (std::vector<std::string>{"top", "inner"}));
    EXPECT_EQ(children(d), "a{b}");

    CommentLog refusing;
    refusing.answer = false;
    refusing.load(ZrString("<a><!--stop--><b/></a><c/>"));
    EXPECT_EQ(children(refusing), "a");
    EXPECT_EQ(refusing.comments, (std::vector<std::string>{"stop"}));
}

TEST(XMLReader, DeepNestingIsCutAtTheLimit) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    XML::Doc d;
    d.load(ZrString(deep.c_str()));
    int depth = 0;
    XML::Node* n = &d;
    while (n->getCountNodes()) {
        ASSERT_EQ(n->getCountNodes(), 1);
        n = n->getNode(0);
        ++depth;
    }
    EXPECT_EQ(depth, XML::Node::kMaxDepth);

    std::string exact;
    for (int i = 0; i < XML::Node::kMaxDepth; ++i)
        exact += "<a>";
    for (int i = 0; i < XML::Node::kMaxDepth; ++i)
        exact += "</a>";
    exact += "<b/>";
    XML::Doc e;
    e.load(ZrString(exact.c_str()));
    EXPECT_EQ(e.getCountNodes(), 2); // the limit itself is accepted
}

TEST(XMLReader, LookupsByName) {
    XML::Doc d;
    d.load(ZrString("<Settings Rate=\"44100\" Flag=\"2\"><Device/></Settings>"));
    ASSERT_NE(d.getNode("settings"), nullptr);
    EXPECT_EQ(d.getNode(ZrString("settings")), nullptr);
    EXPECT_NE(d.getNode(ZrString("Settings")), nullptr);
    EXPECT_EQ(d.getNode(static_cast<char const*>(nullptr)), nullptr);
    EXPECT_EQ(d.getNode(5), nullptr);
    EXPECT_EQ(d.getOrCreateNode("SETTINGS"), d.getNode(0));
    XML::Node* created = d.getOrCreateNode("Other");
    EXPECT_EQ(d.getCountNodes(), 2);
    EXPECT_EQ(created->getDoc(), &d);

    XML::Node* s = d.getNode("Settings");
    int rate = 0;
    s->getAttributeValue("rate", rate, -1);
    EXPECT_EQ(rate, 44100);
    bool flag = false;
    s->getAttributeValue("flag", flag, false);
    EXPECT_TRUE(flag);
    unsigned missing = 0;
    s->getAttributeValue("none", missing, 9u);
    EXPECT_EQ(missing, 9u);
    ZrString text;
    s->getAttributeValue("none", text, "fallback");
    EXPECT_STREQ(text, "fallback");
    EXPECT_STREQ(s->getAttributeValue("RATE"), "44100");
    EXPECT_STREQ(s->getAttributeValue("none"), "");
    EXPECT_EQ(s->getAttribute("none", false), nullptr);
    XML::Attribute* made = s->getAttribute("none", true);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(s->getCountAttributes(), 3);
    s->releaseAttribute(made);
    EXPECT_EQ(s->getCountAttributes(), 2);
}

TEST(XMLAttribute, TypedValues) {
    EXPECT_STREQ(XML::Attribute("n", 5).getValue(), "5");
    EXPECT_STREQ(XML::Attribute("n", 1.5f).getValue(), "1.500000e+00");
    EXPECT_STREQ(XML::Attribute("n", true).getValue(), "1");
    EXPECT_STREQ(XML::Attribute("n", false).getValue(), "0");
    XML::Attribute a("n");
    a.setValue(4000000000u);
    EXPECT_STREQ(a.getValue(), "4000000000");
    EXPECT_EQ(a.getValueULong(), 4000000000u);
    EXPECT_EQ(a.getValueLong(), static_cast<int>(4000000000u - 4294967296ll));

    struct {
        char const* text;
        int asLong;
        bool asBool;
    } const cases[] = {
        {"1", 1, true},    {"2", 2, true}, {"0", 0, false},
        {"yes", 0, false}, {"", 0, false}, {"  -12x", -12, true},
    };
    for (auto const& c : cases) {
        a.setValue(c.text);
        EXPECT_EQ(a.getValueLong(), c.asLong) << c.text;
        EXPECT_EQ(a.getValueBool(), c.asBool) << c.text;
    }
    a.setValue("2.25");
    EXPECT_FLOAT_EQ(a.getValueFloat(), 2.25f);
    a.setValue("1e300");
    EXPECT_TRUE(std::isinf(a.getValueFloat()));
}

TEST(XMLWriter, GoldenText) {
    XML::Doc d;
    XML::Node* settings = d.addNode("Settings");
    settings->addAttribute(ZrString("Name"), ZrString("a&b<c>\"d'"));
    XML::Node* item = settings->addNode("Item");
    item->addAttribute(ZrString("v"), 1);
    XML::Node* group = settings->addNode(ZrString("Group"));
    group->addNode("Leaf");
    group->addAttribute(new XML::Attribute("")); // an attribute without a name is left out
    settings->addNode("");                       // an element without a name disappears
    settings->getNode(2)->addNode("Hidden");

    ZrString out("previous content");
    d.buildXML(out);
    EXPECT_STREQ(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                      "<Settings Name=\"a&amp;b&lt;c&gt;&quot;d&apos;\">\n"
                      "\t<Item v=\"1\"/>\n"
                      "\t<Group>\n"
                      "\t\t<Leaf/>\n"
                      "\t</Group>\n"
                      "</Settings>\n");
    EXPECT_STREQ(settings->getAttribute(0)->getValue(), "a&b<c>\"d'"); // stored value untouched

    int nodes = 0;
    int attributes = 0;
    d.countNodesAndAttributes(nodes, attributes);
    EXPECT_EQ(nodes, 6);
    EXPECT_EQ(attributes, 3);
}

TEST(XMLWriter, HeaderOnlyAndLostText) {
    XML::Doc empty;
    ZrString out;
    empty.buildXML(out);
    EXPECT_STREQ(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n");

    XML::Doc d;
    d.load(ZrString("<a>text</a>"));
    d.buildXML(out);
    EXPECT_STREQ(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a/>\n");
}

TEST(XMLWriter, ValuesSurviveWriteAndLoad) {
    char const* const values[] = {"&",     "<", ">", "'", "\"", "&lt;", "a&amp;b", "<x attr=\"1\">",
                                  "plain", ""};
    XML::Doc d;
    XML::Node* n = d.addNode("Values");
    for (char const* v : values)
        n->addAttribute(ZrString("v"), ZrString(v));
    ZrString out;
    d.buildXML(out);
    XML::Doc back;
    back.load(out);
    ASSERT_EQ(back.getCountNodes(), 1);
    XML::Node* m = back.getNode(0);
    ASSERT_EQ(m->getCountAttributes(), static_cast<int>(sizeof values / sizeof *values));
    for (int i = 0; i < m->getCountAttributes(); ++i)
        EXPECT_STREQ(m->getAttribute(i)->getValue(), values[i]);

    ZrString again;
    back.buildXML(again);
    EXPECT_STREQ(again, out);
}

TEST(XMLTree, EditingOperations) {
    XML::Doc d;
    XML::Node* a = d.addNode("a");
    EXPECT_EQ(d.addNode(a), nullptr); // already a child
    EXPECT_EQ(d.addNode(static_cast<XML::Node*>(nullptr)), nullptr);
    XML::Attribute* attr = a->addAttribute(ZrString("k"), 2.5f);
    EXPECT_EQ(a->addAttribute(attr), nullptr);
    EXPECT_EQ(a->addAttribute(static_cast<XML::Attribute*>(nullptr)), nullptr);
    a->addNode("b");
    a->addNode("b");
    EXPECT_EQ(a->getCountNodes(), 2);
    XML::Node* first = a->getNode("b");
    EXPECT_EQ(first, a->getNode(0));
    a->releaseNode(first);
    EXPECT_EQ(a->getCountNodes(), 1);
    a->releaseNode(first); // no longer there: ignored (and already gone)
    a->clear();
    EXPECT_EQ(a->getCountNodes(), 0);
    EXPECT_EQ(a->getCountAttributes(), 0);

    XML::Node* loose = new XML::Node(nullptr, "loose");
    d.addNode(loose);
    EXPECT_EQ(loose->getDoc(), &d);
    d.removeChilds();
    EXPECT_EQ(d.getCountNodes(), 0);
}

} // namespace
