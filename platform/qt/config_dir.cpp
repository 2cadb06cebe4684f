#include "platform/qt/config_dir.h"

#include <QDir>
#include <QFileInfo>

#include "platform/say.h"

namespace wigwag {

namespace {

// Makes path and each missing folder above it, open to the user alone.
bool MakeFolders(const QString& path) {
    if (QFileInfo(path).isDir()) return true;
    const QString parent = QFileInfo(path).path();
    if (parent == path || !MakeFolders(parent)) return false;
    return QDir().mkdir(path,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner) ||
           QFileInfo(path).isDir();
}

}  // namespace

bool EnterConfigDir() {
    // An empty or relative XDG_CONFIG_HOME counts as unset.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
    const QString folder = QDir::cleanPath(base + QStringLiteral("/wigwag"));
    if (MakeFolders(folder) && QDir::setCurrent(folder)) return true;
    Say(Stream::Err, "wigwag: cannot use the settings folder " + folder.toStdString());
    return false;
}

}  // namespace wigwag
