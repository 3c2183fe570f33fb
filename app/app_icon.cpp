#include "app/app_icon.h"

#include <QFile>

// Q_INIT_RESOURCE must stand outside any namespace; calling it also keeps
// the linker from dropping the resources of this static library.
static void InitResources()
{
    Q_INIT_RESOURCE(lumbra);
}

QIcon LoadAppIcon()
{
    InitResources();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path = QStringLiteral(":/icons/lumbra-%1.png").arg(size);
        if (QFile::exists(path))
            icon.addFile(path, QSize(size, size));
    }
    return icon;
}
