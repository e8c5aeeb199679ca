#pragma once

#include <functional>
#include <string>

namespace kova {

// Why the last open attempt failed.
enum class OpenFailure {
  None,
  NoSuchPort,
  NoDevice,
  PermissionDenied,
  InUse,
  NotATerminal,
  Refused,
};

struct OpenAttempt {
  std::string device;  // empty when the COM port names no device
  OpenFailure failure = OpenFailure::None;
  int holder = 0;  // the process that holds the device, when known
  std::string note;  // lock files passed over, and why ("...: a symbolic link, not trusted");
                     // for a port that does not exist, where the ports come from
  std::string target;  // the device a link such as a ports-folder entry leads to
  // When permission was denied: the device's owner and group (names, or numbers without one)
  // and its permission bits.
  std::string owner;
  std::string group;
  unsigned mode = 0;
};

// The receiver's serial port: one device at a time, at the speed set, no parity,
// 8 data bits, 1 stop bit, raw, read-only, modem lines untouched.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual bool isOpen() const = 0;
  // Opens COMn (1 to 32); false when the port does not exist, is in use or will not open. A
  // port found in use is left untouched. Only called while closed.
  virtual bool open(int comPort) = 0;
  // The speed the next open() sets: 4800, 9600, 19200, 38400, 57600 or 115200 baud.
  virtual void setSpeed(int baud) = 0;
  // Takes the next part of one look at which devices other programs hold open, until
  // outOfTime() says stop; true once the look is complete. The opens that follow skip what it
  // found held; the first call after a complete look starts a new one.
  virtual bool surveyHolders(const std::function<bool()>& outOfTime) = 0;
  // The device and outcome of the last open().
  virtual const OpenAttempt& lastOpen() const = 0;
  // Closes the open port; does nothing when closed.
  virtual void close() = 0;
  // Appends every character waiting to be read to text, one character per byte, and removes
  // them from the port. A port whose device has gone reads as empty.
  virtual void readAll(std::string& text) = 0;
  // True once a read found the open port's device gone (unplugged, hung up, failing); it stays
  // gone until closed.
  virtual bool deviceGone() const = 0;
  // 0: no notifications. n: onComm is raised whenever n or more characters wait to be read,
  // and once when the device is found gone.
  virtual void setReceiveThreshold(int characters) = 0;
  // The notification handler (the program's OnComm).
  virtual void setOnComm(std::function<void()> handler) = 0;
};

}  // namespace kova
