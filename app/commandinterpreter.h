#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

// One command list (a start's arguments: a picture, "/SEL:", "/SELALL", "/SAVEDATA:", "/START",
// "/IDENTIFYALL"), read and checked without a window: which arguments may name the picture, and,
// once it is loaded, where the frame goes, where the report goes and what is run, or why the list
// is refused.
class CCommandInterpreter
{
public:
    enum Action { NoAction, Search, IdentifyAll };

    explicit CCommandInterpreter(const QStringList &arguments);

    // The arguments that may name the picture, in order: the first that loads is taken.
    QStringList pictureCandidates() const;
    // Reads the commands against the loaded picture's size. False when the list is refused
    // (problem() says why); nothing of it is then carried out.
    bool read(const QSize &pictureSize);

    // The frame asked for by "/SEL:", clipped to the picture.
    std::optional<QRect> frame() const { return m_frame; }
    // "/SELALL" (when no "/SEL:" came first).
    bool selectAll() const { return m_selectAll; }
    // The report file named by "/SAVEDATA:"; empty when none was named.
    QString reportPath() const { return m_reportPath; }
    Action action() const { return m_action; }
    // The refusal, in English with %1 for the argument at fault (problemArgument()).
    QString problem() const { return m_problem; }
    QString problemArgument() const { return m_problemArgument; }

private:
    bool refuse(const char *problem, const QString &argument);

    QStringList m_arguments;
    std::optional<QRect> m_frame;
    bool m_selectAll = false;
    QString m_reportPath;
    Action m_action = NoAction;
    QString m_problem;
    QString m_problemArgument;
};
