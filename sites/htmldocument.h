#pragma once

#include "webelement.h"

#include <QByteArray>
#include <QEnableSharedFromThis>
#include <QSharedPointer>
#include <QString>

#include <memory>

struct GumboInternalOutput;
struct CParserMemory;

// A page's HTML parsed into an element tree (HTML5 tree building, as a browser does it). The input
// is bounded before parsing: the tree builder's cost grows with the square of the nesting depth, so
// the document is cut where more than maxOpenElements elements would be open at once, and bodies
// longer than maxBytes are cut there. What comes before a cut is parsed and walked as usual.
// The depth is judged by a scan that cannot follow every twist of the tree builder, so the parse
// itself runs on a budget of time and memory as well: a parse that overruns it is abandoned and
// the first half of the input parsed instead (on half the budget), and so on.
class CHtmlDocument : public QEnableSharedFromThis<CHtmlDocument>
{
public:
    static constexpr qsizetype maxBytes = 8 * 1024 * 1024;
    static constexpr int maxOpenElements = 3000;
    static constexpr int parseTimeBudgetMs = 3000;
    static constexpr qsizetype parseMemoryBudget = 512 * 1024 * 1024;

    // Test hook: another budget for the parse (0 or less restores the default).
    static void setParseBudgetForTesting(int milliseconds, qsizetype bytes);

    ~CHtmlDocument();
    CHtmlDocument(const CHtmlDocument &) = delete;
    CHtmlDocument &operator=(const CHtmlDocument &) = delete;

    // Parses UTF-8 bytes (invalid sequences read as replacement characters).
    static QSharedPointer<CHtmlDocument> parse(const QByteArray &utf8);
    static QSharedPointer<CHtmlDocument> fromHtml(const QString &html);

    // The length of the longest prefix of html that keeps at most maxOpen elements open, judged
    // by a light scan of the tags that follows the tree builder's tokens (comments, quoted values,
    // script and style text) and its main closing rules, taking an element as closed only where
    // the builder surely closes it, so that the count errs high.
    static qsizetype boundedLength(const QByteArray &html, int maxOpen = maxOpenElements);

    // The root element (<html>); the parser always creates one, even for empty input.
    CWebElement documentElement() const;
    // True when the input was cut for its size, its depth or the parse budget.
    bool wasCut() const { return m_cut; }

private:
    CHtmlDocument();

    QByteArray m_source; // the parser's string pieces point into it
    std::unique_ptr<CParserMemory> m_memory; // every block of the parse, and its budget
    GumboInternalOutput *m_output = nullptr;
    bool m_cut = false;
};
