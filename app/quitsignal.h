#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

// Ends the program on SIGTERM or SIGINT (a logout, a script, Ctrl+C) as closing its window would:
// a running search is cancelled and its report written, and the settings are saved. Without it
// the default action would end the process on the spot.
class CQuitSignal : public QObject
{
public:
    explicit CQuitSignal(QWidget *window);
    ~CQuitSignal() override;

private:
    static void handle(int signal);
    QSocketNotifier *m_notifier = nullptr;
};
