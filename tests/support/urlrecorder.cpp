#include "urlrecorder.h"

#include <QDesktopServices>

UrlRecorder::UrlRecorder()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
}

UrlRecorder::~UrlRecorder()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void UrlRecorder::openUrl(const QUrl &url)
{
    urls.append(url);
}
