#include "radio/serial_port_manager.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

class SerialPortManagerTest : public ::testing::Test {
protected:
    QString dev() const { return env.root() + "/dev"; }
    QString sys() const { return env.root() + "/sys/class/tty"; }

    // A device node, with a sysfs entry when `hardware` says so; `uartType` writes the serial
    // core's "type" file.
    void addDevice(const QString &name, bool hardware, const QByteArray &uartType = {})
    {
        QDir().mkpath(dev());
        QFile(dev() + "/" + name).open(QIODevice::WriteOnly);
        if (!hardware) {
            return;
        }
        QDir().mkpath(sys() + "/" + name + "/device");
        if (!uartType.isEmpty()) {
            QFile type(sys() + "/" + name + "/type");
            type.open(QIODevice::WriteOnly);
            type.write(uartType + "\n");
        }
    }

    test::TestPlatform env;
};

TEST_F(SerialPortManagerTest, ListsSerialDevicesWithHardwareInByteOrder)
{
    addDevice("ttyUSB1", true);
    addDevice("ttyUSB10", true);
    addDevice("ttyACM0", true);
    addDevice("ttyS0", true, "4");
    addDevice("ttyS1", true, "0");  // no UART behind it
    addDevice("ttyUSB2", false);    // stale node
    addDevice("tty0", true);        // a console, not a serial port
    addDevice("ttyUSB", true);
    addDevice("sda", true);

    const auto ports = SerialPortManager::listPorts(dev(), sys());
    EXPECT_EQ(ports, (std::vector<SerialPort>{{"/dev/ttyACM0", "ttyACM0"},
                                              {"/dev/ttyS0", "ttyS0"},
                                              {"/dev/ttyUSB1", "ttyUSB1"},
                                              {"/dev/ttyUSB10", "ttyUSB10"}}));
    EXPECT_EQ(ports[0].path(), QStringLiteral("/dev/ttyACM0"));
}

TEST_F(SerialPortManagerTest, UnreadableFolderGivesAnEmptyList)
{
    const auto ports = SerialPortManager::listPorts(env.root() + "/missing", sys());
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(nlohmann::ordered_json(ports).dump(), "[]");
}

TEST(SerialPort, JsonKeepsKeyOrderAndRequiresBothStrings)
{
    const SerialPort port{"/dev/ttyUSB0", "ttyUSB0"};
    EXPECT_EQ(nlohmann::ordered_json(port).dump(), R"({"id":"/dev/ttyUSB0","name":"ttyUSB0"})");
    EXPECT_EQ(nlohmann::ordered_json::parse(R"({"name":"b","id":"a"})").get<SerialPort>(), (SerialPort{"a", "b"}));
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"id":"a"})").get<SerialPort>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::ordered_json::parse(R"({"id":"a","name":3})").get<SerialPort>(), nlohmann::json::exception);
}

TEST(SerialPortManager, RealMachineListsOnlyDevicePaths)
{
    for (const SerialPort &port : SerialPortManager::listPorts()) {
        EXPECT_EQ(port.id, "/dev/" + port.name);
        EXPECT_TRUE(QFile::exists(port.id)) << port.id.toStdString();
    }
}

} // namespace
} // namespace cordavelle
