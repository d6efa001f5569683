#include "stampcatalogue.h"

#include <QDir>
#include <QFile>
#include <QImageReader>

namespace {

// A field may not carry the answer's own markers; brackets become parentheses, blanks "_".
QString keywordField(const QString &field)
{
    QString text = field.trimmed();
    text.replace(QLatin1Char('['), QLatin1Char('('));
    text.replace(QLatin1Char(']'), QLatin1Char(')'));
    text.replace(QLatin1Char(' '), QLatin1Char('_'));
    return text;
}

} // namespace

QString CStampCatalogue::Entry::keywordItem() const
{
    QStringList fields;
    for (const QString &description : descriptions)
        fields << keywordField(description);
    return keywordField(country) + QStringLiteral("[c]") + keywordField(number)
        + QStringLiteral("[inf]") + fields.join(QStringLiteral("[i]"));
}

QImage CStampCatalogue::Entry::loadPicture() const
{
    QImageReader reader(picturePath);
    reader.setAutoTransform(true);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

bool CStampCatalogue::load(const QString &folder, QString *error, QStringList *warnings)
{
    m_entries.clear();
    m_folder = folder;
    const QDir dir(folder);
    QFile index(dir.filePath(QString::fromLatin1(indexFileName)));
    if (!index.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(index.fileName(), index.errorString());
        return false;
    }
    const auto warn = [warnings](const QString &text) {
        if (warnings)
            warnings->append(text);
    };
    int lineNumber = 0;
    while (!index.atEnd()) {
        ++lineNumber;
        QString line = QString::fromUtf8(index.readLine());
        if (lineNumber == 1 && line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1); // a byte-order mark some editors write
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 6 || fields.at(0).trimmed().isEmpty()) {
            warn(QStringLiteral("line %1: expected 6 tab-separated fields, found %2")
                     .arg(lineNumber)
                     .arg(fields.size()));
            continue;
        }
        Entry entry;
        entry.picturePath = dir.filePath(fields.at(0).trimmed());
        entry.country = fields.at(1).trimmed();
        entry.number = fields.at(2).trimmed();
        entry.descriptions = fields.mid(3, 3);
        if (entry.descriptions.last().trimmed().isEmpty())
            entry.descriptions.last() = QStringLiteral("0001");
        const QImage picture = entry.loadPicture();
        if (picture.isNull()) {
            warn(QStringLiteral("line %1: cannot read picture %2").arg(lineNumber).arg(fields.at(0)));
            continue;
        }
        entry.signature = CStampSignature::fromImage(picture);
        if (!entry.signature.isValid()) {
            warn(QStringLiteral("line %1: picture %2 is too small").arg(lineNumber).arg(fields.at(0)));
            continue;
        }
        m_entries.append(entry);
    }
    return true;
}
