#include "multipartform.h"

namespace {

// A parameter of a header value such as: form-data; name="key"; filename="a.jpg"
QByteArray headerParameter(const QByteArray &value, const QByteArray &name)
{
    const QList<QByteArray> pieces = value.split(';');
    for (const QByteArray &piece : pieces) {
        const QByteArray trimmed = piece.trimmed();
        const qsizetype equals = trimmed.indexOf('=');
        if (equals <= 0 || trimmed.left(equals).trimmed().toLower() != name)
            continue;
        QByteArray result = trimmed.mid(equals + 1).trimmed();
        if (result.size() >= 2 && result.startsWith('"') && result.endsWith('"'))
            result = result.mid(1, result.size() - 2);
        return result;
    }
    return {};
}

} // namespace

QByteArray CMultipartForm::boundaryOf(const QByteArray &contentType)
{
    QByteArray text = contentType;
    text.replace(',', ';');
    if (!text.trimmed().toLower().startsWith("multipart/"))
        return {};
    return headerParameter(text, "boundary");
}

bool CMultipartForm::parse(const QByteArray &contentType, const QByteArray &body)
{
    m_parts.clear();
    const QByteArray boundary = boundaryOf(contentType);
    if (boundary.isEmpty())
        return false;
    const QByteArray delimiter = "--" + boundary;

    // The first delimiter opens the body (a preamble before it is allowed); every later one
    // follows a line break.
    qsizetype position;
    if (body.startsWith(delimiter)) {
        position = delimiter.size();
    } else {
        const qsizetype first = body.indexOf("\r\n" + delimiter);
        if (first < 0)
            return false;
        position = first + 2 + delimiter.size();
    }
    const QByteArray nextDelimiter = "\r\n" + delimiter;
    while (true) {
        if (body.mid(position, 2) == "--")
            return true; // closing delimiter
        if (body.mid(position, 2) != "\r\n")
            return false;
        // The blank line that ends the part's headers; it may share its line break with the
        // delimiter line when the part has no headers.
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", position);
        if (headersEnd < 0)
            return false;
        // An empty part's data ends where its blank line does.
        const qsizetype next = body.indexOf(nextDelimiter, headersEnd + 2);
        if (next < 0)
            return false; // no closing delimiter
        Part part;
        const qsizetype headersStart = position + 2;
        const QList<QByteArray> headers = headersEnd > headersStart
            ? body.mid(headersStart, headersEnd - headersStart).split('\n')
            : QList<QByteArray>();
        for (const QByteArray &line : headers) {
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                return false;
            if (line.left(colon).trimmed().toLower() != "content-disposition")
                continue;
            const QByteArray value = line.mid(colon + 1).trimmed();
            part.name = headerParameter(value, "name");
            part.fileName = headerParameter(value, "filename");
        }
        const qsizetype dataStart = headersEnd + 4;
        if (next > dataStart)
            part.data = body.mid(dataStart, next - dataStart);
        m_parts.append(part);
        position = next + nextDelimiter.size();
    }
}

const CMultipartForm::Part *CMultipartForm::part(const QByteArray &name) const
{
    for (const Part &candidate : m_parts) {
        if (candidate.name == name)
            return &candidate;
    }
    return nullptr;
}
