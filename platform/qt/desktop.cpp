#include "platform/qt/desktop.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <utility>

namespace kv {
namespace {

DesktopOpener g_opener;

bool Open(DesktopTarget kind, const std::string& target)
{
    if (g_opener)
        return g_opener(kind, target);
    const QString text = QString::fromStdString(target);
    const QUrl url = kind == DesktopTarget::File ? QUrl::fromLocalFile(text) : QUrl(text);
    return QDesktopServices::openUrl(url);
}

}  // namespace

void SetDesktopOpener(DesktopOpener opener) { g_opener = std::move(opener); }

bool OpenUrl(const std::string& url) { return Open(DesktopTarget::Url, url); }

bool OpenFile(const std::string& path) { return Open(DesktopTarget::File, path); }

}  // namespace kv
