#pragma once

#include <QProgressDialog>

#include <functional>
#include <memory>

class QLabel;

namespace Ui {
class CProgressPanel;
}

// The panel "Searching ..." of a running search: its status line, the picture of the stage, the
// bar, the five stages (the current one bold, the done ones checked) and "Stop", which cancels.
// It never shows by itself: the window shows it when a search starts.
class CProgressPanel : public QProgressDialog
{
    Q_OBJECT
public:
    using Translator = std::function<QString(const QString &)>;
    static constexpr int stageCount = 5;

    explicit CProgressPanel(QWidget *parent = nullptr);
    ~CProgressPanel() override;

    void retranslate(const Translator &tr);
    // A new search: no stage checked.
    void clearStages();
    void showStage(int current);
    void checkStage(int stage);
    void setStagePicture(const QPixmap &picture);
    void setStatus(const QString &text);
    void setProgress(int percent);

private:
    std::unique_ptr<Ui::CProgressPanel> m_ui;
    QLabel *m_stageLabels[stageCount];
    QLabel *m_stageIcons[stageCount];
};
