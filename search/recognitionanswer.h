#pragma once

#include <QString>
#include <QStringList>

// What the client makes of the recognition server's deciphered answer (four leading characters
// already dropped): either a message for the user, or the identifier of the stored upload with
// the search keywords.
class CRecognitionAnswer
{
public:
    enum Kind {
        Good,        // recognitionText and keywordList are set
        NoMatch,     // "Matches in the database is not found"
        ServerFault, // "Technical problems on the server"
        NoExchange,  // "Server not responding"
        Malformed,   // "Wrong answer"
    };

    static CRecognitionAnswer parse(const QString &text);

    // The answer to the cache query: the number of indexed stamps, when it reads as a decimal
    // integer.
    static bool readIndexedCount(const QString &text, qint64 *count);

    Kind kind() const { return m_kind; }
    bool isGood() const { return m_kind == Good; }
    // The untranslated message for the user; empty for a good answer.
    QString message() const { return m_message; }
    QString recognitionText() const { return m_recognitionText; }
    QStringList keywordList() const { return m_keywordList; }

private:
    Kind m_kind = Malformed;
    QString m_message;
    QString m_recognitionText;
    QStringList m_keywordList;
};
