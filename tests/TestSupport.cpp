#include "TestSupport.h"

#include <QDir>

namespace TestSupport {

QString dataDir() {
    QString dir = qEnvironmentVariable("VANTARO_TEST_DATA", QDir::tempPath() + "/vantaro-test-data");
    QDir().mkpath(dir);
    return dir;
}

QString twvTool() { return qEnvironmentVariable("VANTARO_TWV_TOOL", "twv"); }

} // namespace TestSupport
