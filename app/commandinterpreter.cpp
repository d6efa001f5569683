#include "commandinterpreter.h"

#include "search/searchreport.h"

#include <QRegularExpression>

CCommandInterpreter::CCommandInterpreter(const QStringList &arguments) : m_arguments(arguments) {}

QStringList CCommandInterpreter::pictureCandidates() const
{
    QStringList candidates;
    // An empty argument would open the file dialog, which no command line asks for.
    for (const QString &argument : m_arguments) {
        if (!argument.isEmpty())
            candidates << argument;
    }
    return candidates;
}

bool CCommandInterpreter::refuse(const char *problem, const QString &argument)
{
    m_problem = QString::fromLatin1(problem);
    m_problemArgument = argument;
    return false;
}

bool CCommandInterpreter::read(const QSize &pictureSize)
{
    static const QRegularExpression selPrefix(QStringLiteral("/SEL:"), QRegularExpression::CaseInsensitiveOption);
    for (const QString &argument : std::as_const(m_arguments)) {
        if (argument.startsWith(QLatin1String("/SEL:"), Qt::CaseInsensitive)) {
            const QStringList parts = QString(argument).remove(selPrefix).split(QLatin1Char(','));
            if (parts.size() != 4)
                continue;
            // A part that is not a number reads as 0. The frame holds only what lies on the
            // picture; with nothing left the list goes no further: nothing would be searched.
            const QRect asked(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(), parts.at(3).toInt());
            const QRect frame = asked & QRect(QPoint(0, 0), pictureSize);
            if (frame.isEmpty())
                return refuse("The selection lies outside the picture: %1", argument);
            m_frame = frame;
            break;
        }
        if (argument.compare(QLatin1String("/SELALL"), Qt::CaseInsensitive) == 0) {
            m_selectAll = true;
            break;
        }
    }

    static const QRegularExpression savePrefix(QStringLiteral("/SAVEDATA:"), QRegularExpression::CaseInsensitiveOption);
    for (const QString &argument : std::as_const(m_arguments)) {
        if (argument.startsWith(QLatin1String("/SAVEDATA:"), Qt::CaseInsensitive)) {
            const QString path = QString(argument).remove(savePrefix).replace(QLatin1Char('\\'), QLatin1Char('/'));
            // A folder would get our pictures among its files; a path without a folder would
            // land wherever this copy happens to run. The list goes no further: its search would
            // leave no report.
            switch (CSearchReport::checkPath(path)) {
            case CSearchReport::PathUsable:
                m_reportPath = path;
                break;
            case CSearchReport::PathIsFolder:
                return refuse("The report path is a folder: %1", path);
            case CSearchReport::PathNotAFile:
                return refuse("The report path is not a file in a folder: %1", path);
            }
            break;
        }
    }

    // "/IDENTIFYALL" lists every stamp of the picture; it takes the place of "/START".
    for (const QString &argument : std::as_const(m_arguments)) {
        if (argument.compare(QLatin1String("/IDENTIFYALL"), Qt::CaseInsensitive) == 0) {
            m_action = IdentifyAll;
            return true;
        }
    }
    for (const QString &argument : std::as_const(m_arguments)) {
        if (argument.compare(QLatin1String("/START"), Qt::CaseInsensitive) == 0) {
            m_action = Search;
            break;
        }
    }
    return true;
}
