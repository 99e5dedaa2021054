// MACtoSN: prints the serial number of the device with the given MAC address,
// from the MAC-to-serial list compiled into the program.
//
// Callers on the device tell success from failure by the text alone: a
// serial, or a line beginning "Fail:Mac=". Neither ends in a line end, and
// the exit status is 0 either way.

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <regex>
#include <string>
#include <unordered_map>

namespace {

// One row of the list. Fixed-width char arrays instead of std::string
// literals: a constant array of them compiles in seconds and needs no
// relocations, where 28,798 std::string pairs take the compiler many minutes.
template <std::size_t SerialCapacity>
struct SerialRow {
    char mac[18];
    char serial[SerialCapacity];
    unsigned char serialLength;
};

#include "serial_rows.inc"

const char* const notFoundSentinel = "0";
const std::size_t macLength = 17;

std::unordered_map<std::string, std::string> buildSerialTable() {
    const std::size_t rowCount = sizeof serialRows / sizeof serialRows[0];
    // Sized before the first insertion so the fill never rehashes; rows go in
    // list order and emplace keeps an existing key, so the first row wins.
    std::unordered_map<std::string, std::string> table(rowCount);
    for (const auto& row : serialRows) {
        table.emplace(std::piecewise_construct, std::forward_as_tuple(row.mac, macLength),
                      std::forward_as_tuple(row.serial, row.serialLength));
    }
    return table;
}

// A malformed MAC and a missing one get the same line: either way the list
// has no serial for this text.
void writeFailureLine(const std::string& mac) {
    std::cout << "Fail:Mac=" << mac << " Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv";
}

// The text must reach standard output: a caller reads nothing else, so a
// lost write must not pass for an answer.
int flushStandardOutput(int status) {
    errno = 0;
    std::cout.flush();
    if (std::cout) {
        return status;
    }
    const int error = errno;
    std::cerr << "MACtoSN: error writing standard output: "
              << (error != 0 ? std::strerror(error) : "write failed") << '\n';
    return 1;
}

}  // namespace

std::unordered_map<std::string, std::string> macToSerial = buildSerialTable();

bool isValidMacAddress(const std::string& mac) {
    const std::regex macPattern("^([0-9A-Fa-f]{2}[:-]){5}([0-9A-Fa-f]{2})$", std::regex::ECMAScript);
    return std::regex_match(mac, macPattern);
}

std::string getSerialFromMac(const std::string& mac) {
    const auto found = macToSerial.find(mac);
    return found != macToSerial.end() ? found->second : std::string(notFoundSentinel);
}

int main(int argc, char* argv[]) {
    if (argc < 2) {
        writeFailureLine("");
        std::cerr << "usage: MACtoSN MAC-ADDRESS\n";
        return flushStandardOutput(2);
    }
    const std::string mac = argv[1];
    if (isValidMacAddress(mac)) {
        const std::string serial = getSerialFromMac(mac);
        if (serial != notFoundSentinel) {
            std::cout << serial;
            return flushStandardOutput(0);
        }
    }
    writeFailureLine(mac);
    return flushStandardOutput(0);
}
