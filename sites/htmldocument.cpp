#include "htmldocument.h"

#include <QByteArrayMatcher>
#include <QHash>
#include <QScopeGuard>
#include <QSet>

#include <gumbo.h>

#include <cstring>
#include <vector>

namespace {

// Elements that never have content.
const QSet<QByteArray> &voidElements()
{
    static const QSet<QByteArray> names = {"area",  "base",   "basefont", "bgsound", "br",
                                           "col",   "embed",  "frame",    "hr",      "image",
                                           "img",   "input",  "keygen",   "link",    "meta",
                                           "param", "source", "track",    "wbr",     "menuitem"};
    return names;
}

// Elements whose start tag closes an open element of the same name nearby (<p><p>, <li><li>,
// <td><td>); without this a page of unclosed list items would look deeply nested.
const QSet<QByteArray> &selfClosingSiblings()
{
    static const QSet<QByteArray> names = {"p",  "li", "dt",    "dd",    "option", "optgroup",
                                           "tr", "td", "th",    "thead", "tbody",  "tfoot",
                                           "a",  "button", "nobr", "rb",  "rt",     "rp"};
    return names;
}

// Elements that stop the search for such an implicitly closed sibling.
const QSet<QByteArray> &scopeBoundaries()
{
    static const QSet<QByteArray> names = {"html",  "body",   "table",   "ul",       "ol",
                                           "dl",    "select", "svg",     "math",     "caption",
                                           "template", "object", "applet", "marquee"};
    return names;
}

// Elements whose content is text up to their end tag (outside SVG and MathML).
const QSet<QByteArray> &rawTextElements()
{
    static const QSet<QByteArray> names = {"script", "style", "textarea", "title", "xmp"};
    return names;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Finds a fixed text at or after a position that only moves forward, remembering the last answer,
// so that many searches for something rare (or absent) cost one pass over the text.
class NextFinder
{
public:
    NextFinder(const QByteArray &text, QByteArray what) : m_text(text), m_what(std::move(what)) {}
    qsizetype from(qsizetype position)
    {
        if (m_found == -1 || (m_found >= position && m_searchedFrom <= position))
            return m_found;
        m_searchedFrom = position;
        m_found = m_text.indexOf(m_what, position);
        return m_found;
    }

private:
    const QByteArray &m_text;
    QByteArray m_what;
    qsizetype m_found = -2;
    qsizetype m_searchedFrom = 0;
};

enum NameFlag : unsigned {
    VoidElement = 1,
    ClosesSibling = 2,
    ScopeBoundary = 4,
    RawText = 8,
    Foreign = 16,
};

// The open elements as the scan sees them. Names are numbered once, so that each tag costs one
// hash lookup; counts per name tell at once whether an end tag closes anything.
class OpenElements
{
public:
    int idOf(const QByteArray &name)
    {
        const auto found = m_ids.constFind(name);
        if (found != m_ids.constEnd())
            return *found;
        const int id = int(m_flags.size());
        m_ids.insert(name, id);
        unsigned flags = 0;
        flags |= voidElements().contains(name) ? VoidElement : 0;
        flags |= selfClosingSiblings().contains(name) ? ClosesSibling : 0;
        flags |= scopeBoundaries().contains(name) ? ScopeBoundary : 0;
        flags |= rawTextElements().contains(name) ? RawText : 0;
        flags |= (name == "svg" || name == "math") ? Foreign : 0;
        m_flags.push_back(flags);
        m_counts.push_back(0);
        return id;
    }
    bool has(int id, NameFlag flag) const { return m_flags[size_t(id)] & flag; }

    void push(int id)
    {
        m_stack.push_back(id);
        ++m_counts[size_t(id)];
        if (has(id, Foreign))
            ++m_foreign;
    }
    void popTo(int id)
    {
        while (!m_stack.empty()) {
            const int top = m_stack.back();
            m_stack.pop_back();
            --m_counts[size_t(top)];
            if (has(top, Foreign))
                --m_foreign;
            if (top == id)
                return;
        }
    }
    bool isOpen(int id) const { return m_counts[size_t(id)] > 0; }
    // Is the element open among the top few, with no boundary above it?
    bool isOpenNearby(int id) const
    {
        const qsizetype lowest = qMax<qsizetype>(0, qsizetype(m_stack.size()) - 8);
        for (qsizetype i = qsizetype(m_stack.size()) - 1; i >= lowest; --i) {
            if (m_stack[size_t(i)] == id)
                return true;
            if (has(m_stack[size_t(i)], ScopeBoundary))
                return false;
        }
        return false;
    }
    qsizetype depth() const { return qsizetype(m_stack.size()); }
    int top() const { return m_stack.empty() ? -1 : m_stack.back(); }
    bool inForeignContent() const { return m_foreign > 0; }

private:
    QHash<QByteArray, int> m_ids;
    std::vector<unsigned> m_flags;
    std::vector<int> m_counts;
    std::vector<int> m_stack;
    int m_foreign = 0;
};

} // namespace

CHtmlDocument::~CHtmlDocument()
{
    if (m_output)
        gumbo_destroy_output(&kGumboDefaultOptions, m_output);
}

qsizetype CHtmlDocument::boundedLength(const QByteArray &html, int maxOpen)
{
    const QByteArray text = html.toLower();
    const qsizetype size = text.size();
    OpenElements open;
    const int tableId = open.idOf("table"), tbodyId = open.idOf("tbody"), theadId = open.idOf("thead"),
              tfootId = open.idOf("tfoot"), trId = open.idOf("tr");
    NextFinder commentEnd(text, "-->"), bangCommentEnd(text, "--!>"), cdataEnd(text, "]]>"),
        tagEnd(text, ">"), doubleQuote(text, "\""), singleQuote(text, "'");
    QHash<QByteArray, NextFinder *> rawTextEnds;
    const auto cleanup = qScopeGuard([&] { qDeleteAll(rawTextEnds); });
    qsizetype pos = 0;
    while (pos < size) {
        const qsizetype lt = text.indexOf('<', pos);
        if (lt < 0)
            break;
        qsizetype at = lt + 1;
        if (at >= size)
            break;
        const char first = text.at(at);
        if (first == '!') {
            // Comments end at "-->" or "--!>" (an empty "<!-->" too); CDATA sections exist only
            // inside SVG and MathML; anything else starting "<!" ends at the next ">".
            qsizetype close = -1;
            if (text.mid(lt, 4) == "<!--") {
                const qsizetype dashes = commentEnd.from(lt + 2);
                const qsizetype bang = bangCommentEnd.from(lt + 2);
                if (dashes >= 0 && (bang < 0 || dashes < bang))
                    close = dashes + 3;
                else if (bang >= 0)
                    close = bang + 4;
            } else if (open.inForeignContent() && text.mid(lt, 9) == "<![cdata[") {
                close = cdataEnd.from(lt + 9);
                close = close < 0 ? -1 : close + 3;
            } else {
                close = tagEnd.from(at);
                close = close < 0 ? -1 : close + 1;
            }
            // An unterminated construct: keep scanning inside it, which can only count more.
            pos = close < 0 ? at : close;
            continue;
        }
        if (first == '?') {
            const qsizetype close = tagEnd.from(at);
            pos = close < 0 ? at : close + 1;
            continue;
        }
        const bool endTag = first == '/';
        if (endTag)
            ++at;
        if (at >= size || !isAsciiLetter(text.at(at))) {
            pos = lt + 1; // a lone "<" is text
            continue;
        }
        qsizetype nameEnd = at;
        while (nameEnd < size && !isSpace(text.at(nameEnd)) && text.at(nameEnd) != '/'
               && text.at(nameEnd) != '>')
            ++nameEnd;
        const QByteArray name = text.mid(at, nameEnd - at);

        // Find the end of the tag; quotes count only where an attribute value starts.
        qsizetype scan = nameEnd;
        while (scan < size && text.at(scan) != '>') {
            if (text.at(scan) == '=') {
                ++scan;
                while (scan < size && isSpace(text.at(scan)))
                    ++scan;
                if (scan < size && (text.at(scan) == '"' || text.at(scan) == '\'')) {
                    NextFinder &quotes = text.at(scan) == '"' ? doubleQuote : singleQuote;
                    const qsizetype quote = quotes.from(scan + 1);
                    // An unterminated value swallows the rest; scanning on can only count more.
                    scan = quote < 0 ? scan + 1 : quote + 1;
                }
                continue;
            }
            ++scan;
        }
        if (scan >= size)
            break; // the document ends inside a tag, which the parser drops
        pos = scan + 1;

        const int id = open.idOf(name);
        if (endTag) {
            if (open.isOpen(id))
                open.popTo(id);
            continue;
        }
        // "<div/>" opens a div in HTML; the slash counts only inside SVG and MathML, and there
        // the element is counted anyway (closing the <svg> closes it), so the count errs high.
        if (open.has(id, VoidElement))
            continue;
        if (open.has(id, ClosesSibling) && open.isOpenNearby(id))
            open.popTo(id);
        // Rows and cells written straight into a table get the sections and rows the parser adds.
        int implied[2];
        int impliedCount = 0;
        const bool row = name == "tr";
        const bool cell = name == "td" || name == "th";
        if ((row || cell) && open.top() == tableId)
            implied[impliedCount++] = tbodyId;
        if (cell && (open.top() == tableId || open.top() == tbodyId || open.top() == theadId || open.top() == tfootId))
            implied[impliedCount++] = trId;
        if (open.depth() + impliedCount >= maxOpen)
            return lt;
        const bool foreignBefore = open.inForeignContent();
        for (int i = 0; i < impliedCount; ++i)
            open.push(implied[i]);
        open.push(id);
        if (!foreignBefore && name == "plaintext")
            break; // everything after it is text
        if (!foreignBefore && open.has(id, RawText)) {
            NextFinder *&end = rawTextEnds[name];
            if (!end)
                end = new NextFinder(text, "</" + name);
            const qsizetype close = end->from(pos);
            if (close >= 0)
                pos = close; // else scan on inside it, which can only count more
        }
    }
    return size;
}

QSharedPointer<CHtmlDocument> CHtmlDocument::parse(const QByteArray &utf8)
{
    QSharedPointer<CHtmlDocument> document(new CHtmlDocument);
    QByteArray source = utf8.left(maxBytes);
    document->m_cut = source.size() < utf8.size();
    const qsizetype bounded = boundedLength(source);
    if (bounded < source.size()) {
        source.truncate(bounded);
        document->m_cut = true;
    }
    document->m_source = source;
    GumboOptions options = kGumboDefaultOptions;
    // Broken pages produce an error record per fault; the walk never reads them.
    options.max_errors = 100;
    document->m_output = gumbo_parse_with_options(&options, document->m_source.constData(),
                                                  size_t(document->m_source.size()));
    return document;
}

QSharedPointer<CHtmlDocument> CHtmlDocument::fromHtml(const QString &html)
{
    return parse(html.toUtf8());
}

CWebElement CHtmlDocument::documentElement() const
{
    if (!m_output || !m_output->root)
        return {};
    return CWebElement(sharedFromThis(), m_output->root);
}
