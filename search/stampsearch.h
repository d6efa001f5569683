#pragma once

#include "matching/field_ready.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class CLoadThreadImg;
class CRecognitionClient;
class CSiteSearch;

// One whole search, stage by stage, on the GUI thread: the recognition server's exchanges, the site
// search, the comparison of the candidates in 32 workers, an additional wider pass when fewer than
// four match, the ranking and the report. Every wait is a nested event loop, so the window stays
// live and cancel() works throughout. It knows no widget: the window follows it through its signals.
class CStampSearch : public QObject
{
    Q_OBJECT
public:
    static constexpr int workerCount = 32;
    // With fewer matches than this after the first pass, the additional pass runs.
    static constexpr int enoughMatches = 4;

    enum Outcome { Finished, ServerMessage, Cancelled };
    // The stages as the progress panel lists them; AllDone marks every one finished.
    enum Stage { Sending, Recognizing, SearchingSites, Matching, Additional, AllDone };

    explicit CStampSearch(QObject *parent = nullptr);
    // Cancels a running comparison and joins its workers.
    ~CStampSearch() override;

    // Turns the English texts shown into the interface language; unchanged by default.
    void setTranslator(std::function<QString(const QString &)> translator) { m_tr = std::move(translator); }
    // The largest number of results kept of each site.
    void setMaxOut(int maxOut) { m_maxOut = maxOut; }
    // Where run() writes its report; empty for none.
    void setReportPath(const QString &path) { m_reportPath = path; }
    QString reportPath() const { return m_reportPath; }

    // Runs a search for the cut-out (its picture and its JPEG bytes) and returns when it has ended.
    Outcome run(const QImage &selection, const QByteArray &jpeg);
    bool isRunning() const { return m_running; }
    // The comparison stage alone (benchmarks, tools): candidates compared with selection in the
    // workers; returns the matches.
    QVector<field_ready> compare(const QImage &selection, const QVector<field_ready> &candidates);
    // Stops the running search at once: the server exchange and page waits end, the workers stop.
    // Harmless when nothing runs, and when called several times. Its report says "cancelled".
    void cancel();
    // Stops the running search for a new one, which writes the report: this one writes none.
    void supersede();

    // Moves the best matches out of candidates into the returned list: grouped by site in the order
    // of the site labels, each group best first (the earlier on equal scores), at most maxOut each,
    // only scores above 0. The ranked copies carry no score.
    static QVector<field_ready> rank(QVector<field_ready> *candidates, int maxOut);

    // The ranked matches of the last search.
    const QVector<field_ready> &results() const { return resultList; }
    const QVector<field_ready> &candidates() const { return candidateList; }
    CRecognitionClient *recognitionClient() const { return m_client; }
    CSiteSearch *siteSearch() const { return m_sites; }
    const QList<CLoadThreadImg *> &workers() const { return m_workers; }

signals:
    void signalStarted();
    void signalProgress(int value);
    void signalStatus(const QString &text);
    // Stages before `current` are done, later ones pending.
    void signalStage(int current);
    void signalStageChecked(int stage);
    // A picture of the resource folder for the panel.
    void signalStagePicture(const QString &resourceName);
    // The candidate being compared.
    void signalMiniImg(const QImage &picture);
    // One match, live during the comparison and again for the ranked list.
    void signalOutImg(const QImage &picture, const QString &pageUrl, const QString &source,
                      const QString &domain, int kind, const CMatchEvidence &evidence);
    // The ranked list replaces the live matches.
    void signalClearResults();
    // The recognition server's message (translated); the search ends.
    void signalServerMessage(const QString &message);
    void signalNotFound();
    // The search has run to its end; the report follows.
    void signalFinished();
    // The report could not be written; the reason names the file and the system's error. The
    // report of the search before is kept in CSearchReport::previousFolder().
    void signalReportFailed(const QString &reason);
    void signalCompareEnd();

public slots:
    void slotAddMiniImg(const QImage &picture);
    void slotAddImg(const QImage &picture, const QString &pageUrl, const QString &source,
                    const QString &domain, int kind, const CMatchEvidence &evidence);
    void slotThreadBeep();
    void slotThreadFinished(QVector<field_ready> *list);

private:
    Outcome search(const QImage &selection, const QByteArray &jpeg);
    void writeReport(const QString &path, Outcome outcome);
    void startCompareWorker(bool additional, int span);
    void showResults();
    void deleteWorkers();
    void setProgress(double value);
    QString indexedText(qint64 count) const;
    QString text(const char *english) const { return m_tr(QString::fromLatin1(english)); }

    std::function<QString(const QString &)> m_tr = [](const QString &text) { return text; };
    CRecognitionClient *m_client;
    CSiteSearch *m_sites;
    bool cancelRequested = false;
    bool m_superseded = false;
    // A stop during the comparison ends the search as Finished, with what was found so far.
    bool m_stoppedInComparison = false;
    // The recognition server's message that ended the search, untranslated.
    QString m_serverMessage;
    bool m_running = false;
    int m_maxOut = 10;
    QString m_reportPath;
    QImage selectionImage;
    QVector<field_ready> candidateList;
    QVector<field_ready> resultList;
    double progressValue = 0;
    double progressStep = 0;
    double accumulatedProgress = 0;
    qint32 comparedCount = 0;
    qint32 foundCount = 0;
    qint32 candidateTotal = 0;
    qint32 finishedWorkers = 0;
    // Tells the reports of the current comparison's workers from late ones of an earlier one.
    quint64 m_comparison = 0;
    QList<CLoadThreadImg *> m_workers;
};
