#include "htmldocument.h"

#include <QByteArrayMatcher>
#include <QHash>
#include <QScopeGuard>

#include <algorithm>
#include <initializer_list>
#include <QSet>

#include <QElapsedTimer>

#include <gumbo.h>

#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Elements that never have content.
const QSet<QByteArray> &voidElements()
{
    static const QSet<QByteArray> names = {"area",  "base",   "basefont", "bgsound", "br",
                                           "col",   "embed",  "frame",    "hr",      "image",
                                           "img",   "input",  "keygen",   "link",    "meta",
                                           "param", "source", "track",    "wbr",     "menuitem",
                                           "isindex"}; // a whole little form, but closed at once
    return names;
}

// The tree builder's "special" elements: an end tag for an ordinary element does not close
// anything beyond one of them.
const QSet<QByteArray> &specialElements()
{
    static const QSet<QByteArray> names = {
        "address", "applet", "area", "article", "aside", "base", "basefont", "bgsound", "blockquote",
        "body", "br", "button", "caption", "center", "col", "colgroup", "dd", "details", "dir", "div",
        "dl", "dt", "embed", "fieldset", "figcaption", "figure", "footer", "form", "frame", "frameset",
        "h1", "h2", "h3", "h4", "h5", "h6", "head", "header", "hgroup", "hr", "html", "iframe", "img",
        "input", "keygen", "li", "link", "listing", "main", "marquee", "menu", "meta", "nav", "noembed",
        "noframes", "noscript", "object", "ol", "p", "param", "plaintext", "pre", "script", "section",
        "select", "source", "style", "summary", "table", "tbody", "td", "template", "textarea", "tfoot",
        "th", "thead", "title", "tr", "track", "ul", "wbr", "xmp", "mi", "mo", "mn", "ms", "mtext",
        "annotation-xml", "foreignobject", "desc", "svg", "math"};
    return names;
}

// Where the tree builder's "in scope" searches stop (with SVG and MathML integration points).
const QSet<QByteArray> &scopeBoundaries()
{
    static const QSet<QByteArray> names = {"applet", "caption", "html", "table", "td", "th", "marquee",
                                           "object", "template", "mi", "mo", "mn", "ms", "mtext",
                                           "annotation-xml", "foreignobject", "desc", "title", "svg",
                                           "math", "select", "frameset"};
    return names;
}

// Special elements whose end tag closes whatever is open inside them (within scope); the end tag
// of any other element closes nothing beyond a special element.
const QSet<QByteArray> &scopedEndTags()
{
    static const QSet<QByteArray> names = {
        "address", "article", "aside", "blockquote", "button", "center", "details", "dialog", "dir",
        "div", "dl", "fieldset", "figcaption", "figure", "footer", "header", "hgroup", "listing", "main",
        "menu", "nav", "ol", "pre", "section", "summary", "ul", "li", "dd", "dt", "h1", "h2", "h3", "h4",
        "h5", "h6", "applet", "marquee", "object", "p", "body", "html", "select"};
    return names;
}

// Formatting elements: closed by other elements, the tree builder opens them again later.
const QSet<QByteArray> &formattingElements()
{
    static const QSet<QByteArray> names = {"a", "b", "big", "code", "em", "font", "i", "nobr",
                                           "s", "small", "strike", "strong", "tt", "u"};
    return names;
}

// Elements that fence off the formatting elements opened inside them.
const QSet<QByteArray> &markerElements()
{
    static const QSet<QByteArray> names = {"applet", "marquee", "object", "td", "th", "caption", "template"};
    return names;
}

// Table parts: outside a table (and outside SVG, MathML and templates) their start tags are ignored.
const QSet<QByteArray> &tableParts()
{
    static const QSet<QByteArray> names = {"caption", "colgroup", "tbody", "thead", "tfoot", "tr", "td", "th"};
    return names;
}

// Elements whose start tag closes an open <p> (in its scope).
const QSet<QByteArray> &closesParagraph()
{
    static const QSet<QByteArray> names = {
        "address", "article", "aside", "blockquote", "center", "details", "dialog", "dir", "div", "dl",
        "fieldset", "figcaption", "figure", "footer", "header", "hgroup", "main", "menu", "nav", "ol",
        "p", "section", "summary", "ul", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "listing", "form",
        "plaintext", "table", "hr", "xmp", "li", "dd", "dt", "isindex"};
    return names;
}

// HTML elements whose start tag ends SVG or MathML content.
const QSet<QByteArray> &foreignBreakouts()
{
    static const QSet<QByteArray> names = {
        "b", "big", "blockquote", "body", "br", "center", "code", "dd", "div", "dl", "dt", "em", "embed",
        "h1", "h2", "h3", "h4", "h5", "h6", "head", "hr", "i", "img", "li", "listing", "menu", "meta",
        "nobr", "ol", "p", "pre", "ruby", "s", "small", "span", "strong", "strike", "sub", "sup",
        "table", "tt", "u", "ul", "var"};
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
    Special = 2,
    ScopeBoundary = 4,
    RawText = 8,
    Foreign = 16,
    Formatting = 32,
    Marker = 64,
    TablePart = 128,
    ClosesParagraph = 256,
    Breakout = 512,
    ScopedEndTag = 1024,
};

// The open elements as the scan sees them, kept so that the count never falls below the tree
// builder's: an element is taken as closed only where the builder surely closes it, and formatting
// elements closed by something else stay counted until their own end tag or their fence (td, th,
// caption, applet, object, marquee, template) closes, because the builder may open them again.
// Names are numbered once, so that each tag costs one hash lookup.
class OpenElements
{
public:
    static constexpr qsizetype searchWindow = 128; // further down, an end tag is taken as closing nothing

    OpenElements() { m_fences.emplace_back(); }

    int idOf(const QByteArray &name)
    {
        const auto found = m_ids.constFind(name);
        if (found != m_ids.constEnd())
            return *found;
        const int id = int(m_flags.size());
        m_ids.insert(name, id);
        unsigned flags = 0;
        flags |= voidElements().contains(name) ? VoidElement : 0;
        flags |= specialElements().contains(name) ? Special : 0;
        flags |= scopeBoundaries().contains(name) ? ScopeBoundary : 0;
        flags |= rawTextElements().contains(name) ? RawText : 0;
        flags |= (name == "svg" || name == "math") ? Foreign : 0;
        flags |= formattingElements().contains(name) ? Formatting : 0;
        flags |= markerElements().contains(name) ? Marker : 0;
        flags |= tableParts().contains(name) ? TablePart : 0;
        flags |= closesParagraph().contains(name) ? ClosesParagraph : 0;
        flags |= foreignBreakouts().contains(name) ? Breakout : 0;
        flags |= scopedEndTags().contains(name) ? ScopedEndTag : 0;
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
        if (has(id, Marker))
            m_fences.emplace_back();
    }
    // Pops down to the element at index (inclusive).
    void popTo(qsizetype index)
    {
        while (qsizetype(m_stack.size()) > index) {
            const int top = m_stack.back();
            const bool last = qsizetype(m_stack.size()) - 1 == index;
            m_stack.pop_back();
            --m_counts[size_t(top)];
            if (has(top, Foreign))
                --m_foreign;
            if (has(top, Marker)) {
                for (const auto &[name, count] : m_fences.back())
                    m_reopenable -= count;
                m_fences.pop_back();
            } else if (has(top, Formatting) && !last) {
                // Closed by another element: the builder may open it again (its limit of three of
                // a kind is not to be relied on), until its end tag or its fence closes.
                ++reopenableCount(top);
                ++m_reopenable;
            }
        }
    }
    // Index of the nearest open element with one of the ids, searching down from the top at most
    // window entries and stopping at an element with a stop flag (unless it is passable) or a stop
    // id; -1 when there is none.
    qsizetype find(std::initializer_list<int> ids, unsigned stopFlags, qsizetype window = searchWindow,
                   std::initializer_list<int> stopIds = {}, std::initializer_list<int> passable = {}) const
    {
        const auto contains = [](std::initializer_list<int> list, int id) {
            return std::find(list.begin(), list.end(), id) != list.end();
        };
        const qsizetype lowest = qMax<qsizetype>(0, qsizetype(m_stack.size()) - window);
        for (qsizetype i = qsizetype(m_stack.size()) - 1; i >= lowest; --i) {
            const int id = m_stack[size_t(i)];
            if (contains(ids, id))
                return i;
            if (contains(stopIds, id) || ((m_flags[size_t(id)] & stopFlags) && !contains(passable, id)))
                return -1;
        }
        return -1;
    }
    // An end tag of a formatting element that is not open: the builder forgets one it closed.
    void forgetReopenable(int id)
    {
        int &count = reopenableCount(id);
        if (count > 0) {
            --count;
            --m_reopenable;
        }
    }
    bool isOpen(int id) const { return m_counts[size_t(id)] > 0; }
    int top() const { return m_stack.empty() ? -1 : m_stack.back(); }
    // Open elements, with the formatting elements that may be opened again.
    qsizetype depth() const { return qsizetype(m_stack.size()) + m_reopenable; }
    bool inForeignContent() const { return m_foreign > 0; }

private:
    QHash<QByteArray, int> m_ids;
    std::vector<unsigned> m_flags;
    std::vector<int> m_counts;
    std::vector<int> m_stack;
    int &reopenableCount(int id)
    {
        auto &counts = m_fences.back();
        for (auto &[name, count] : counts) {
            if (name == id)
                return count;
        }
        return counts.emplace_back(id, 0).second;
    }

    // Per open fence (and the document), how many formatting elements of each name inside it may be
    // opened again.
    std::vector<std::vector<std::pair<int, int>>> m_fences;
    qsizetype m_reopenable = 0;
    int m_foreign = 0;
};

} // namespace

// The parser's memory: every block it takes is linked into a list, so that an abandoned parse can
// give all of them back, and counted against the budget, which the allocator also checks for time.
// Running out makes the allocator jump back out of the parser (plain C, nothing to unwind).
struct CParserMemory
{
    struct alignas(std::max_align_t) Block
    {
        Block *previous;
        Block *next;
        size_t size;
    };

    CParserMemory()
    {
        options = kGumboDefaultOptions;
        options.allocator = &allocate;
        options.deallocator = &deallocate;
        options.userdata = this;
        // Broken pages produce an error record per fault, each with a copy of the open elements;
        // the walk never reads them.
        options.max_errors = 100;
        blocks.previous = blocks.next = &blocks;
    }
    ~CParserMemory() { releaseAll(); }
    CParserMemory(const CParserMemory &) = delete;
    CParserMemory &operator=(const CParserMemory &) = delete;

    static void *allocate(void *userdata, size_t size)
    {
        auto *memory = static_cast<CParserMemory *>(userdata);
        if (memory->budgetActive
            && (memory->liveBytes + size > memory->byteBudget
                || ((++memory->calls & 1023) == 0 && memory->clock.elapsed() > memory->timeBudgetMs)))
            std::longjmp(memory->escape, 1);
        auto *block = static_cast<Block *>(std::malloc(sizeof(Block) + size));
        if (!block) {
            if (memory->budgetActive)
                std::longjmp(memory->escape, 1);
            std::abort(); // the parser cannot go on without memory
        }
        block->size = size;
        block->previous = &memory->blocks;
        block->next = memory->blocks.next;
        memory->blocks.next->previous = block;
        memory->blocks.next = block;
        memory->liveBytes += size;
        return block + 1;
    }

    static void deallocate(void *userdata, void *pointer)
    {
        if (!pointer)
            return;
        auto *memory = static_cast<CParserMemory *>(userdata);
        Block *block = static_cast<Block *>(pointer) - 1;
        block->previous->next = block->next;
        block->next->previous = block->previous;
        memory->liveBytes -= block->size;
        std::free(block);
    }

    void releaseAll()
    {
        while (blocks.next != &blocks)
            deallocate(this, blocks.next + 1);
    }

    // The parse, or null when the budget ran out (everything it took is then released).
    GumboOutput *parseWithinBudget(const QByteArray &source, qint64 milliseconds, qsizetype bytes)
    {
        timeBudgetMs = milliseconds;
        byteBudget = size_t(bytes);
        calls = 0;
        if (setjmp(escape) != 0) {
            budgetActive = false;
            releaseAll();
            return nullptr;
        }
        clock.start();
        budgetActive = true;
        GumboOutput *output = gumbo_parse_with_options(&options, source.constData(), size_t(source.size()));
        budgetActive = false;
        return output;
    }

    GumboOptions options;
    Block blocks; // the list's anchor
    size_t liveBytes = 0;
    bool budgetActive = false;
    QElapsedTimer clock;
    qint64 timeBudgetMs = 0;
    size_t byteBudget = 0;
    unsigned calls = 0;
    std::jmp_buf escape;
};

namespace {
int parseTimeBudgetOverride = 0;
qsizetype parseMemoryBudgetOverride = 0;
} // namespace

void CHtmlDocument::setParseBudgetForTesting(int milliseconds, qsizetype bytes)
{
    parseTimeBudgetOverride = milliseconds;
    parseMemoryBudgetOverride = bytes;
}

CHtmlDocument::CHtmlDocument() : m_memory(std::make_unique<CParserMemory>())
{
}

CHtmlDocument::~CHtmlDocument()
{
    if (m_output)
        gumbo_destroy_output(&m_memory->options, m_output);
}

qsizetype CHtmlDocument::boundedLength(const QByteArray &html, int maxOpen)
{
    const QByteArray text = html.toLower();
    const qsizetype size = text.size();
    OpenElements open;
    const int tableId = open.idOf("table"), tbodyId = open.idOf("tbody"), theadId = open.idOf("thead"),
              tfootId = open.idOf("tfoot"), trId = open.idOf("tr"), tdId = open.idOf("td"), thId = open.idOf("th"),
              templateId = open.idOf("template"), liId = open.idOf("li"), ulId = open.idOf("ul"),
              olId = open.idOf("ol"), pId = open.idOf("p"), buttonId = open.idOf("button"),
              ddId = open.idOf("dd"), dtId = open.idOf("dt"), addressId = open.idOf("address"),
              divId = open.idOf("div"), optionId = open.idOf("option"),
              aId = open.idOf("a"), formId = open.idOf("form");
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
            if (!endTag) {
                pos = lt + 1; // a lone "<" is text
            } else {
                // "</>" is dropped; "</" before anything else but a letter opens a comment up to
                // the next ">", which hides any tag-like text inside it.
                const qsizetype close = at < size && text.at(at) == '>' ? at : tagEnd.from(at);
                if (close < 0)
                    break;
                pos = close + 1;
            }
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
            if (!open.isOpen(id)) {
                if (open.has(id, Formatting))
                    open.forgetReopenable(id);
                continue;
            }
            // Where the builder surely closes the element, take it as closed; elsewhere keep it.
            qsizetype at = -1;
            if (id == formId)
                continue; // the builder takes the form itself out and leaves what is inside open
            if (open.has(id, Formatting))
                at = open.find({id}, Special | ScopeBoundary);
            else if (id == tableId)
                at = open.find({id}, 0, OpenElements::searchWindow, {templateId});
            else if (open.has(id, TablePart))
                at = open.isOpen(tableId) ? open.find({id}, 0, OpenElements::searchWindow, {tableId, templateId}) : -1;
            else if (id == liId)
                at = open.find({id}, ScopeBoundary, OpenElements::searchWindow, {ulId, olId});
            else if (id == pId)
                at = open.find({id}, ScopeBoundary, OpenElements::searchWindow, {buttonId});
            else if (open.has(id, ScopedEndTag))
                at = open.find({id}, ScopeBoundary);
            else
                at = open.find({id}, Special);
            if (at >= 0)
                open.popTo(at);
            continue;
        }
        // "<div/>" opens a div in HTML; the slash counts only inside SVG and MathML, and there
        // the element is counted anyway (closing the <svg> closes it), so the count errs high.
        const bool foreign = open.inForeignContent();
        if (open.has(id, ClosesParagraph) && !foreign) {
            const qsizetype paragraph = open.find({pId}, ScopeBoundary, 8, {buttonId});
            if (paragraph >= 0)
                open.popTo(paragraph);
        }
        // Inside SVG and MathML, names that are void in HTML are ordinary elements.
        if (open.has(id, VoidElement) && (!foreign || open.has(id, Breakout)))
            continue;
        if (open.has(id, TablePart) && !foreign && !open.isOpen(tableId) && !open.isOpen(templateId))
            continue; // ignored outside a table
        // Start tags that close an element nearby, where the builder surely does so (not inside
        // SVG or MathML, where these names are ordinary elements).
        constexpr unsigned listStop = Special | ScopeBoundary;
        qsizetype closes = -1;
        if (!foreign) {
            if (id == liId)
                closes = open.find({liId}, listStop, 8, {}, {addressId, divId, pId});
            else if (id == ddId || id == dtId)
                closes = open.find({ddId, dtId}, listStop, 8, {}, {addressId, divId, pId});
            else if (id == buttonId)
                closes = open.find({buttonId}, ScopeBoundary, 8);
            else if (id == optionId)
                closes = open.find({optionId}, 0, 1);
            else if (id == trId)
                closes = open.find({trId}, 0, 8, {tableId, templateId});
            else if (id == tdId || id == thId)
                closes = open.find({tdId, thId}, 0, 8, {trId, tableId, templateId});
            else if (id == tbodyId || id == theadId || id == tfootId)
                closes = open.find({tbodyId, theadId, tfootId}, 0, 8, {tableId, templateId});
        }
        if (closes >= 0)
            open.popTo(closes);
        // A new link ends the builder's memory of an earlier one left open.
        if (id == aId && !foreign)
            open.forgetReopenable(id);
        // Rows and cells written straight into a table get the sections and rows the parser adds.
        int implied[2];
        int impliedCount = 0;
        const bool row = id == trId;
        const bool cell = id == tdId || id == thId;
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
    qint64 timeBudget = parseTimeBudgetOverride > 0 ? parseTimeBudgetOverride : parseTimeBudgetMs;
    const qsizetype memoryBudget = parseMemoryBudgetOverride > 0 ? parseMemoryBudgetOverride : parseMemoryBudget;
    for (;;) {
        document->m_source = source;
        if (source.isEmpty()) { // needs next to nothing, so no budget can stop it
            document->m_output = document->m_memory->parseWithinBudget(document->m_source, INT_MAX, PTRDIFF_MAX);
            break;
        }
        document->m_output = document->m_memory->parseWithinBudget(document->m_source, timeBudget, memoryBudget);
        if (document->m_output)
            break;
        // Over budget: the first half, on half the time. An empty input always fits.
        document->m_cut = true;
        source.truncate(source.size() / 2);
        timeBudget = qMax<qint64>(timeBudget / 2, 50);
    }
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
