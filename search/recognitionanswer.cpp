#include "recognitionanswer.h"

CRecognitionAnswer CRecognitionAnswer::parse(const QString &text)
{
    CRecognitionAnswer answer;
    QString plain = text;
    plain.remove(QLatin1Char('\n'));
    const QStringList lines = plain.split(QStringLiteral("[n]"));

    const auto message = [&answer](Kind kind, const char *text) {
        answer.m_kind = kind;
        answer.m_message = QString::fromLatin1(text);
        return answer;
    };
    if (plain.isEmpty())
        return message(NoMatch, "Matches in the database is not found");
    if (plain == QLatin1String("DB_ERROR") || plain == QLatin1String("NULL"))
        return message(ServerFault, "Technical problems on the server");
    if (plain == QLatin1String("error"))
        return message(NoExchange, "Server not responding");
    if (lines.size() < 2)
        return message(Malformed, "Wrong answer");

    answer.m_kind = Good;
    answer.m_recognitionText = lines.at(0);
    QString keywords = lines.at(1);
    keywords.replace(QLatin1Char('_'), QLatin1Char('+'));
    answer.m_keywordList = keywords.split(QStringLiteral("[,]"), Qt::SkipEmptyParts);
    return answer;
}

bool CRecognitionAnswer::readIndexedCount(const QString &text, qint64 *count)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (ok && count)
        *count = value;
    return ok;
}
