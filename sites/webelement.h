#pragma once

#include <QSharedPointer>
#include <QString>

class CHtmlDocument;
struct GumboInternalNode;

// A handle on one element of a parsed page, with the calls the site walks use. A null handle stands
// for "no such element"; every call on it answers empty or null. The handle keeps its document
// alive, so it stays valid after the page that produced it has moved on.
class CWebElement
{
public:
    CWebElement() = default;

    bool isNull() const { return m_node == nullptr; }
    // The element name in upper case ("DIV", "IMG"), as a browser's DOM reports HTML elements.
    QString tagName() const;
    // The attribute's value, or defaultValue when the element has no such attribute.
    QString attribute(const QString &name, const QString &defaultValue = QString()) const;
    bool hasAttribute(const QString &name) const;
    // Element children and siblings only: text and comments are passed over.
    CWebElement firstChild() const;
    CWebElement nextSibling() const;
    // The enclosing element; null for the document element.
    CWebElement parent() const;

    bool operator==(const CWebElement &other) const { return m_node == other.m_node; }
    bool operator!=(const CWebElement &other) const { return m_node != other.m_node; }

private:
    friend class CHtmlDocument;
    CWebElement(QSharedPointer<const CHtmlDocument> document, const GumboInternalNode *node);
    CWebElement sibling(const GumboInternalNode *node) const;

    QSharedPointer<const CHtmlDocument> m_document;
    const GumboInternalNode *m_node = nullptr;
};
