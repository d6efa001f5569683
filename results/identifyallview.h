#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class CIdentifyAllView;
}

// The list of a page's stamps as the recognition server names them: each cut-out, its first answer
// or what went wrong, and a button that runs the full search for that stamp. It shows what it is
// told; asking the server is the caller's.
class CIdentifyAllView : public QWidget
{
    Q_OBJECT
public:
    enum Outcome { Pending, Answered, NotRecognised, Failed };

    explicit CIdentifyAllView(std::function<QString(const QString &)> translator, QWidget *parent = nullptr);
    ~CIdentifyAllView() override;

    // A new list of cut-outs, every stamp pending.
    void setStamps(const QList<QImage> &cutouts);
    int stampCount() const;
    // A stamp's outcome: the answer's text, or the reason it has none.
    void setOutcome(int index, Outcome outcome, const QString &text);
    QString outcomeText(int index) const;
    void setStatus(const QString &text);
    // While running, "Stop" can be pressed.
    void setRunning(bool running);
    // The texts shown again, in the language of the translator.
    void retranslate();

signals:
    void signalSearch(int index);
    void signalStop();

private:
    std::unique_ptr<Ui::CIdentifyAllView> m_ui;
    std::function<QString(const QString &)> m_tr;
};
