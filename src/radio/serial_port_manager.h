#pragma once

#include <QString>

#include <nlohmann/json.hpp>

#include <vector>

namespace cordavelle {

// A serial device: its path and the name shown in pickers.
struct SerialPort {
    QString id;   // "/dev/ttyUSB0"
    QString name; // "ttyUSB0"

    const QString &path() const { return id; }
    bool operator==(const SerialPort &) const = default;
};

// Keys "id" then "name"; decoding requires both as strings (nlohmann's type_error otherwise).
void to_json(nlohmann::ordered_json &json, const SerialPort &port);
void from_json(const nlohmann::ordered_json &json, SerialPort &port);
void to_json(nlohmann::json &json, const SerialPort &port);
void from_json(const nlohmann::json &json, SerialPort &port);

// Lists the serial devices for the PTT and rig-control pickers and the API: the USB serial
// adapters (ttyUSB*), modems (ttyACM*) and built-in ports (ttyS*) that have hardware behind them.
class SerialPortManager {
public:
    SerialPortManager() = delete;

    // Sorted by name in byte order; empty when the device folder cannot be read.
    static std::vector<SerialPort> listPorts();
    // The same over other folders (tests lay out a device and a sysfs tree of their own).
    static std::vector<SerialPort> listPorts(const QString &deviceFolder, const QString &sysfsTtyFolder);
};

} // namespace cordavelle
