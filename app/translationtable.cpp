#include "translationtable.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTextStream>

namespace {

// The byte order of a file without byte-order mark is guessed from where its zero bytes fall; a
// file with no zero bytes at all is not UTF-16, and is read as UTF-8 so that a translator's file
// saved in the wrong encoding still works.
QStringConverter::Encoding guessEncoding(const QByteArray &head)
{
    if (head.startsWith("\xFF\xFE"))
        return QStringConverter::Utf16LE;
    if (head.startsWith("\xFE\xFF"))
        return QStringConverter::Utf16BE;
    int zeroEven = 0;
    int zeroOdd = 0;
    for (qsizetype i = 0; i < head.size(); ++i) {
        if (head.at(i) == 0)
            (i % 2 ? zeroOdd : zeroEven)++;
    }
    if (zeroEven == 0 && zeroOdd == 0)
        return QStringConverter::Utf8;
    return zeroEven > zeroOdd ? QStringConverter::Utf16BE : QStringConverter::Utf16LE;
}

} // namespace

void CTranslationTable::load(const QString &path)
{
    m_entries.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QStringConverter::Encoding encoding = guessEncoding(file.peek(512));
    QTextStream in(&file);
    in.setEncoding(encoding);
    in.setAutoDetectUnicode(encoding != QStringConverter::Utf8);
    QString line;
    while (in.readLineInto(&line, maxPieceLength)) {
        const QStringList parts = line.split(QStringLiteral("##"), Qt::KeepEmptyParts);
        if (parts.size() == 2 && !parts.at(0).isEmpty() && !parts.at(1).isEmpty())
            m_entries.append({parts.at(0), parts.at(1)});
    }
}

QString CTranslationTable::tr(const QString &key) const
{
    for (const auto &[entryKey, text] : m_entries) {
        if (entryKey == key)
            return text;
    }
    return key;
}

QStringList CTranslationTable::languages(const QString &folder)
{
    QStringList names = QDir(folder).entryList({QStringLiteral("*.lng")}, QDir::Files,
                                               QDir::Name | QDir::IgnoreCase);
    for (QString &name : names) {
        if (name.endsWith(QLatin1String(".lng")))
            name.chop(4);
    }
    return names;
}

QString CTranslationTable::languageFile(const QString &folder, const QString &language)
{
    return folder + QLatin1Char('/') + language + QStringLiteral(".lng");
}

QString CTranslationTable::nativeName(const QString &folder, const QString &language)
{
    CTranslationTable table;
    table.load(languageFile(folder, language));
    const QString key = QStringLiteral("This language");
    const QString name = table.tr(key);
    return name == key ? language : name;
}
