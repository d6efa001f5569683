#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the system's web browser: while it lives, every http and https address the
// program hands to the desktop is recorded here instead of being opened.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    UrlRecorder();
    ~UrlRecorder() override;

    QList<QUrl> urls;

public slots:
    void openUrl(const QUrl &url);
};
