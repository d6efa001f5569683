#include "webelement.h"

#include "htmldocument.h"

#include <gumbo.h>

namespace {

bool isElement(const GumboNode *node)
{
    return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

const GumboAttribute *findAttribute(const GumboNode *node, const QString &name)
{
    if (!node)
        return nullptr;
    // The parser stores HTML attribute names in lower case.
    return gumbo_get_attribute(&node->v.element.attributes, name.toLower().toUtf8().constData());
}

} // namespace

CWebElement::CWebElement(QSharedPointer<const CHtmlDocument> document, const GumboNode *node)
    : m_document(std::move(document)), m_node(node)
{
}

QString CWebElement::tagName() const
{
    if (!m_node)
        return {};
    const GumboElement &element = m_node->v.element;
    if (element.tag != GUMBO_TAG_UNKNOWN)
        return QString::fromLatin1(gumbo_normalized_tagname(element.tag)).toUpper();
    GumboStringPiece original = element.original_tag;
    gumbo_tag_from_original_text(&original);
    return QString::fromUtf8(original.data, qsizetype(original.length)).toUpper();
}

QString CWebElement::attribute(const QString &name, const QString &defaultValue) const
{
    const GumboAttribute *found = findAttribute(m_node, name);
    return found ? QString::fromUtf8(found->value) : defaultValue;
}

bool CWebElement::hasAttribute(const QString &name) const
{
    return findAttribute(m_node, name) != nullptr;
}

CWebElement CWebElement::sibling(const GumboNode *node) const
{
    return node ? CWebElement(m_document, node) : CWebElement();
}

CWebElement CWebElement::firstChild() const
{
    if (!m_node)
        return {};
    const GumboVector &children = m_node->v.element.children;
    for (unsigned int i = 0; i < children.length; ++i) {
        const auto *child = static_cast<const GumboNode *>(children.data[i]);
        if (isElement(child))
            return sibling(child);
    }
    return {};
}

CWebElement CWebElement::nextSibling() const
{
    if (!m_node || !m_node->parent)
        return {};
    const GumboNode *parentNode = m_node->parent;
    const GumboVector &children = parentNode->type == GUMBO_NODE_DOCUMENT
                                      ? parentNode->v.document.children
                                      : parentNode->v.element.children;
    for (unsigned int i = unsigned(m_node->index_within_parent) + 1; i < children.length; ++i) {
        const auto *child = static_cast<const GumboNode *>(children.data[i]);
        if (isElement(child))
            return sibling(child);
    }
    return {};
}

CWebElement CWebElement::parent() const
{
    if (!m_node || !m_node->parent || !isElement(m_node->parent))
        return {};
    return sibling(m_node->parent);
}
