#include "app/translationtable.h"

#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

class TestTranslationTable : public QObject
{
    Q_OBJECT
private slots:
    void lookup_data();
    void lookup();
    void encodings_data();
    void encodings();
    void longLinesAreTakenInPieces();
    void missingFileLeavesTableEmpty();
    void languagesAreListedByName();

private:
    static QString write(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes);
    static QByteArray utf16(const QString &text, QStringConverter::Encoding encoding, bool bom = true);
};

QString TestTranslationTable::write(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

QByteArray TestTranslationTable::utf16(const QString &text, QStringConverter::Encoding encoding, bool bom)
{
    QStringEncoder encoder(encoding, bom ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
    return encoder.encode(text);
}

void TestTranslationTable::lookup_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("entry") << "Open##Öffnen\n" << "Open" << "Öffnen";
    QTest::newRow("case-sensitive key") << "open##Öffnen\n" << "Open" << "Open";
    QTest::newRow("three parts ignored") << "Open##A##B\n" << "Open" << "Open";
    QTest::newRow("empty text ignored") << "Open##\n" << "Open" << "Open";
    QTest::newRow("empty key ignored") << "##Öffnen\n" << "" << "";
    QTest::newRow("first duplicate wins") << "Open##Eins\nOpen##Zwei\n" << "Open" << "Eins";
    QTest::newRow("blanks belong to key and text") << "Found ##Gefunden \n" << "Found " << "Gefunden ";
    QTest::newRow("comment lines skipped") << "a comment\n\nStop##Halt\n" << "Stop" << "Halt";
    QTest::newRow("unknown key shown as it is") << "Open##Öffnen\n" << "turn Right" << "turn Right";
    QTest::newRow("windows line endings") << "Open##Öffnen\r\nStop##Halt\r\n" << "Stop" << "Halt";
}

void TestTranslationTable::lookup()
{
    QFETCH(QString, file);
    QFETCH(QString, key);
    QTemporaryDir dir;
    CTranslationTable table;
    table.load(write(dir, "test.lng", utf16(file, QStringConverter::Utf16LE)));
    QTEST(table.tr(key), "expected");
}

void TestTranslationTable::encodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = "Open##Öffnen\nStop##Halt\n";
    QTest::newRow("UTF-16 LE with mark") << utf16(text, QStringConverter::Utf16LE);
    QTest::newRow("UTF-16 BE with mark") << utf16(text, QStringConverter::Utf16BE);
    QTest::newRow("UTF-16 LE without mark") << utf16(text, QStringConverter::Utf16LE, false);
    QTest::newRow("UTF-16 BE without mark") << utf16(text, QStringConverter::Utf16BE, false);
    QTest::newRow("UTF-8, not UTF-16") << text.toUtf8();
}

void TestTranslationTable::encodings()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    CTranslationTable table;
    table.load(write(dir, "test.lng", bytes));
    QCOMPARE(table.tr("Open"), QString("Öffnen"));
    QCOMPARE(table.tr("Stop"), QString("Halt"));
}

void TestTranslationTable::longLinesAreTakenInPieces()
{
    // A line of 100,000 characters is read as pieces of 4096; the piece that holds the entry's
    // end still counts as a line of its own.
    QTemporaryDir dir;
    const QString filler(100000 - 4, QChar('x'));
    const QString text = filler + "\nOpen##Öffnen\n" + QString(4096, QChar('y')) + "Stop##Halt\n";
    CTranslationTable table;
    table.load(write(dir, "long.lng", utf16(text, QStringConverter::Utf16LE)));
    QCOMPARE(table.tr("Open"), QString("Öffnen"));
    QCOMPARE(table.tr("Stop"), QString("Halt"));
    QCOMPARE(table.size(), 2);
}

void TestTranslationTable::missingFileLeavesTableEmpty()
{
    QTemporaryDir dir;
    CTranslationTable table;
    table.load(write(dir, "a.lng", utf16("Open##Öffnen\n", QStringConverter::Utf16LE)));
    QCOMPARE(table.size(), 1);
    table.load(dir.filePath(".lng"));
    QCOMPARE(table.size(), 0);
    QCOMPARE(table.tr("Open"), QString("Open"));
}

void TestTranslationTable::languagesAreListedByName()
{
    QTemporaryDir dir;
    for (const char *name : {"german.lng", "English.lng", "french.LNG", "notes.txt", "zulu.lng"})
        write(dir, name, utf16("Open##x\n", QStringConverter::Utf16LE));
    QCOMPARE(CTranslationTable::languages(dir.path()),
             QStringList({"English", "french.LNG", "german", "zulu"}));
}

QTEST_GUILESS_MAIN(TestTranslationTable)
#include "tst_translationtable.moc"
