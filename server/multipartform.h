#pragma once

#include <QByteArray>
#include <QList>

// A multipart/form-data body taken apart. The boundary comes from the content type, whose
// parameters may be separated by a semicolon or by a comma ("multipart/form-data, boundary=X").
class CMultipartForm
{
public:
    struct Part
    {
        QByteArray name;     // the content-disposition's name parameter
        QByteArray fileName; // its filename parameter, if any
        QByteArray data;
    };

    // False for a content type without a boundary or a body that is not a complete multipart body
    // (no opening or closing delimiter, a part without its blank line).
    bool parse(const QByteArray &contentType, const QByteArray &body);

    static QByteArray boundaryOf(const QByteArray &contentType);

    const QList<Part> &parts() const { return m_parts; }
    // The first part of that name, or null.
    const Part *part(const QByteArray &name) const;

private:
    QList<Part> m_parts;
};
