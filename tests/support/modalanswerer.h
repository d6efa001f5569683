#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

class QWidget;

// Answers modal dialogs while a test runs code that shows them: it looks for the active modal
// widget every few milliseconds, records its class name and hands it to the answer function, which
// closes it (clicks a button, rejects it).
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    using Answer = std::function<void(QWidget *dialog)>;
    explicit ModalAnswerer(Answer answer);

    QStringList seen;

private:
    void poll();
    Answer m_answer;
    QTimer m_timer;
    QWidget *m_last = nullptr;
};
