#include "serial_port_manager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace cordavelle {

namespace {

template <typename Json>
void encode(Json &json, const SerialPort &port)
{
    json = Json::object();
    json["id"] = port.id.toStdString();
    json["name"] = port.name.toStdString();
}

template <typename Json>
void decode(const Json &json, SerialPort &port)
{
    port.id = QString::fromStdString(json.at("id").template get<std::string>());
    port.name = QString::fromStdString(json.at("name").template get<std::string>());
}

// The kernel makes every ttyS* node whether or not a UART answers there; the serial core says
// which ones have one through the port's "type" (0: no UART found). Ports of other drivers
// (USB adapters, modems) have no "type" and are real as soon as they have a device.
bool hasHardware(const QString &sysfsTtyFolder, const QString &name)
{
    const QString base = sysfsTtyFolder + QLatin1Char('/') + name;
    if (!QFileInfo::exists(base + QStringLiteral("/device"))) {
        return false;
    }
    QFile type(base + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly)) {
        return true;
    }
    return type.readAll().trimmed() != "0";
}

} // namespace

void to_json(nlohmann::ordered_json &json, const SerialPort &port) { encode(json, port); }
void from_json(const nlohmann::ordered_json &json, SerialPort &port) { decode(json, port); }
void to_json(nlohmann::json &json, const SerialPort &port) { encode(json, port); }
void from_json(const nlohmann::json &json, SerialPort &port) { decode(json, port); }

std::vector<SerialPort> SerialPortManager::listPorts()
{
    return listPorts(QStringLiteral("/dev"), QStringLiteral("/sys/class/tty"));
}

std::vector<SerialPort> SerialPortManager::listPorts(const QString &deviceFolder, const QString &sysfsTtyFolder)
{
    static const QRegularExpression serialName(QStringLiteral("^tty(USB|ACM|S)[0-9]+$"));
    const QDir dir(deviceFolder);
    if (!dir.isReadable()) {
        return {};
    }
    std::vector<QString> names;
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (serialName.match(name).hasMatch() && hasHardware(sysfsTtyFolder, name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
    std::vector<SerialPort> ports;
    for (const QString &name : names) {
        ports.push_back({QStringLiteral("/dev/") + name, name});
    }
    return ports;
}

} // namespace cordavelle
