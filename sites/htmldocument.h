#pragma once

#include "webelement.h"

#include <QByteArray>
#include <QEnableSharedFromThis>
#include <QSharedPointer>
#include <QString>

struct GumboInternalOutput;

// A page's HTML parsed into an element tree (HTML5 tree building, as a browser does it). The input
// is bounded before parsing: the tree builder's cost grows with the square of the nesting depth, so
// the document is cut where more than maxOpenElements elements would be open at once, and bodies
// longer than maxBytes are cut there. What comes before a cut is parsed and walked as usual.
class CHtmlDocument : public QEnableSharedFromThis<CHtmlDocument>
{
public:
    static constexpr qsizetype maxBytes = 8 * 1024 * 1024;
    static constexpr int maxOpenElements = 3000;

    ~CHtmlDocument();
    CHtmlDocument(const CHtmlDocument &) = delete;
    CHtmlDocument &operator=(const CHtmlDocument &) = delete;

    // Parses UTF-8 bytes (invalid sequences read as replacement characters).
    static QSharedPointer<CHtmlDocument> parse(const QByteArray &utf8);
    static QSharedPointer<CHtmlDocument> fromHtml(const QString &html);

    // The length of the longest prefix of html that keeps at most maxOpen elements open, judged
    // by a light scan of the tags (comments, quoted attribute values and script or style text
    // are passed over; elements a later tag closes implicitly are counted as still open, so the
    // count errs high).
    static qsizetype boundedLength(const QByteArray &html, int maxOpen = maxOpenElements);

    // The root element (<html>); the parser always creates one, even for empty input.
    CWebElement documentElement() const;
    // True when the input was cut for its size or depth.
    bool wasCut() const { return m_cut; }

private:
    CHtmlDocument() = default;

    QByteArray m_source; // the parser's string pieces point into it
    GumboInternalOutput *m_output = nullptr;
    bool m_cut = false;
};
