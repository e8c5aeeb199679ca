#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <termios.h>

#include "platform/descriptor_reserve.h"
#include "platform/readable_watch.h"
#include "platform/serial_port.h"
#include "serial/device_in_use.h"

namespace kova {

// A COM port on a Linux tty device (see serial/com_ports.h for which device COMn is), read
// through termios without blocking. While the receive threshold is above 0 the watch moves
// arriving characters into a buffer of its own and raises onComm; at 0 the port is left alone and
// readAll reads the device directly. A device that another program holds is left untouched, and
// one that was opened gets its line settings back when closed.
class TtySerialPort : public SerialPort {
 public:
  // Descriptors that opening a port or a part of the survey holds at once at most: the tty
  // class folder and one of its files. The device is opened after they are closed.
  static constexpr int DescriptorsToOpen = 2;

  struct Speed {
    int baud;
    speed_t code;
  };
  static constexpr Speed Speeds[] = {{4800, B4800},   {9600, B9600},   {19200, B19200},
                                     {38400, B38400}, {57600, B57600}, {115200, B115200}};

  // Opening takes its descriptors from the reserve, so clients cannot use them up; the watch
  // tells when the open device has characters waiting. Given devices are COM1, COM2 ... in
  // their order, instead of the ports folder or the host's list. processes and lockFolders are
  // where other programs' hold on a device shows; the lock folders are asked for at every look
  // at the locks.
  TtySerialPort(DescriptorReserve& reserve, ReadableWatch& watch,
                std::vector<std::string> devices = {},
                std::filesystem::path processes = DeviceUseSources{}.processes,
                std::function<std::vector<std::filesystem::path>()> lockFolders = [] {
                  return DeviceUseSources{}.lockFolders;
                });
  ~TtySerialPort() override;
  TtySerialPort(const TtySerialPort&) = delete;
  TtySerialPort& operator=(const TtySerialPort&) = delete;

  bool isOpen() const override;
  bool open(int comPort) override;
  // baud is one of Speeds.
  void setSpeed(int baud) override;
  bool surveyHolders(const std::function<bool()>& outOfTime) override;
  const OpenAttempt& lastOpen() const override { return m_lastOpen; }
  void close() override;
  void readAll(std::string& text) override;
  bool deviceGone() const override { return m_gone; }
  void setReceiveThreshold(int characters) override;
  void setOnComm(std::function<void()> handler) override;

  // Opens the tty device at path as open(comPort) does; false when it will not open or is in
  // use.
  bool openDevice(const std::string& path);
  // The watch's entry point: the device has characters waiting or has gone.
  void onReadable();

 private:
  // Moves what the device holds into m_received; marks the device gone on a hang-up.
  void drainDevice();
  void watch(bool on);
  // Opens path unless another program holds it; the reserve is already released.
  bool openFree(const std::string& path);
  DeviceUse heldElsewhere(const std::string& path) const;
  // Records whose the device is, for a person refused permission.
  void noteOwnership(const std::string& path);
  // Records a holder found in the last open attempt, or the lock files passed over; true when
  // held.
  bool heldBy(const DeviceUse& use);
  void addNote(const std::string& note);
  // Closes fd after a failed open, clearing the exclusive flag when this port set it and no
  // other program that has the device open may have set it since.
  void backOut(int fd, const std::string& path, bool flagOurs, pid_t holder);

  DescriptorReserve& m_reserve;
  // One watch for every device opened: it is never deleted under its own call.
  ReadableWatch& m_watch;
  HolderSurvey m_survey;
  std::function<std::vector<std::filesystem::path>()> m_lockFolders;
  bool m_surveying = false;
  speed_t m_speed = B4800;
  std::vector<std::string> m_devices;
  OpenAttempt m_lastOpen;
  int m_fd = -1;
  termios m_foundMode{};
  bool m_gone = false;
  int m_threshold = 0;
  std::string m_received;
  std::function<void()> m_onComm;
};

}  // namespace kova
