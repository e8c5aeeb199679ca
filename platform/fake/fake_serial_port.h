#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fake/fake_event_loop.h"
#include "platform/serial_port.h"

namespace kova {

class FakeSerialPort;

// A device on one COM port, driven by the test: what it sends and when, and whether it is
// plugged in. What it sends while its port is closed or while it is unplugged is lost, as on a
// real line.
class FakeSerialDevice {
 public:
  // Arrives at the loop's current time; delivered the next time the loop runs.
  void feed(std::string text) { feedAfter(std::chrono::nanoseconds{0}, std::move(text)); }
  void feedAfter(std::chrono::nanoseconds delay, std::string text) {
    m_arrivals.push_back({m_loop.now() + delay, std::move(text)});
    std::stable_sort(m_arrivals.begin(), m_arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.due < b.due; });
  }
  // Sends text every period from one period from now on, as a receiver repeats its sentences.
  void talk(std::string text, std::chrono::nanoseconds period) {
    if (period <= std::chrono::nanoseconds{0}) throw std::invalid_argument("talk() needs a period");
    m_talk = Talk{std::move(text), period, m_loop.now() + period};
  }
  void unplug() { m_present = false; }
  void plug() { m_present = true; }
  bool present() const { return m_present; }
  // Sends at this speed; a port opened at another one reads garbage.
  void sendAt(int baud) { m_baud = baud; }
  // Opening fails, for the reason given.
  void refuseOpen(OpenFailure failure, int holder = 0) {
    m_attempt.failure = failure;
    m_attempt.holder = holder;
  }
  // The device's owner, group and permission bits, as a refused open finds them.
  void ownedBy(std::string owner, std::string group, unsigned mode) {
    m_attempt.owner = std::move(owner);
    m_attempt.group = std::move(group);
    m_attempt.mode = mode;
  }
  // The port's name is a link to target.
  void linkTo(std::string target) { m_attempt.target = std::move(target); }
  // Opening finds lock files it passes over, for the reason given.
  void noteOnOpen(std::string note) { m_attempt.note = std::move(note); }

 private:
  friend class FakeSerialPort;
  struct Arrival {
    std::chrono::nanoseconds due;
    std::string text;
  };
  struct Talk {
    std::string text;
    std::chrono::nanoseconds period;
    std::chrono::nanoseconds next;
  };

  explicit FakeSerialDevice(FakeEventLoop& loop) : m_loop(loop) {}

  std::optional<std::chrono::nanoseconds> nextDue() const {
    std::optional<std::chrono::nanoseconds> due;
    if (!m_arrivals.empty()) due = m_arrivals.front().due;
    if (m_talk && (!due || m_talk->next < *due)) due = m_talk->next;
    return due;
  }
  // Everything this device sends up to now, in order.
  std::string takeDue() {
    std::string sent;
    const auto now = m_loop.now();
    while (!m_arrivals.empty() && m_arrivals.front().due <= now) {
      sent += m_arrivals.front().text;
      m_arrivals.pop_front();
    }
    while (m_talk && m_talk->next <= now) {
      sent += m_talk->text;
      m_talk->next += m_talk->period;
    }
    return m_present ? sent : std::string{};
  }

  FakeEventLoop& m_loop;
  bool m_present = true;
  int m_baud = 4800;
  OpenAttempt m_attempt;
  std::deque<Arrival> m_arrivals;
  std::optional<Talk> m_talk;
};

// The one serial port object, over a set of COM ports that exist or not. Deliveries run on the
// fake loop; onComm is raised after a delivery when the threshold is above 0 and at least that
// many characters wait, and once when the open port's device is unplugged; never while it is 0.
class FakeSerialPort : public SerialPort, private FakeEventLoop::Source {
 public:
  explicit FakeSerialPort(FakeEventLoop& loop) : m_loop(loop) { m_loop.add(*this); }
  ~FakeSerialPort() override { m_loop.remove(*this); }
  FakeSerialPort(const FakeSerialPort&) = delete;
  FakeSerialPort& operator=(const FakeSerialPort&) = delete;

  // Makes COMn exist with a device on it; ports never attached do not exist.
  FakeSerialDevice& attach(int comPort) {
    return m_devices.try_emplace(comPort, FakeSerialDevice(m_loop)).first->second;
  }
  FakeSerialDevice& device(int comPort) { return m_devices.at(comPort); }

  bool isOpen() const override { return m_open != 0; }
  bool open(int comPort) override {
    if (m_open != 0) throw std::logic_error("open() while COM" + std::to_string(m_open) + " is open");
    m_openAttempts.push_back(comPort);
    const auto found = m_devices.find(comPort);
    if (found == m_devices.end()) {
      m_lastOpen = {};
      m_lastOpen.failure = OpenFailure::NoSuchPort;
      m_lastOpen.note = "nothing attached there";
      return false;
    }
    m_lastOpen = found->second.m_attempt;
    m_lastOpen.device = "/dev/ttyFAKE" + std::to_string(comPort);
    if (!found->second.present()) m_lastOpen.failure = OpenFailure::NoDevice;
    if (m_lastOpen.failure != OpenFailure::None) return false;
    m_open = comPort;
    return true;
  }
  void setSpeed(int baud) override { m_speed = baud; }
  bool surveyHolders(const std::function<bool()>&) override {
    ++m_surveys;
    return true;
  }
  const OpenAttempt& lastOpen() const override { return m_lastOpen; }
  void close() override {
    m_open = 0;
    m_gone = false;
    m_waiting.clear();
  }
  void readAll(std::string& text) override {
    text += m_waiting;
    m_waiting.clear();
  }
  bool deviceGone() const override { return m_gone; }
  void setReceiveThreshold(int characters) override { m_threshold = characters; }
  void setOnComm(std::function<void()> handler) override { m_onComm = std::move(handler); }

  int openPort() const { return m_open; }
  int speed() const { return m_speed; }
  int receiveThreshold() const { return m_threshold; }
  const std::vector<int>& openAttempts() const { return m_openAttempts; }
  int notifications() const { return m_notifications; }
  int surveys() const { return m_surveys; }
  const std::string& waiting() const { return m_waiting; }

 private:
  std::optional<std::chrono::nanoseconds> nextDue() const override {
    std::optional<std::chrono::nanoseconds> due;
    for (const auto& [comPort, device] : m_devices) {
      const auto next = device.nextDue();
      if (next && (!due || *next < *due)) due = next;
    }
    if (goneUnseen()) due = m_loop.now();
    return due;
  }
  bool goneUnseen() const { return m_open != 0 && !m_gone && !m_devices.at(m_open).present(); }
  void fire() override {
    const bool hangUp = goneUnseen();
    m_gone = m_gone || hangUp;
    for (auto& [comPort, device] : m_devices) {
      std::string sent = device.takeDue();
      // A UART at the wrong speed makes no text of what arrives.
      if (device.m_baud != m_speed)
        for (char& c : sent) c = static_cast<char>(c | 0x80);
      if (comPort == m_open && !m_gone) m_waiting += sent;
    }
    if (m_threshold > 0 && (hangUp || m_waiting.size() >= static_cast<size_t>(m_threshold)) &&
        m_onComm) {
      ++m_notifications;
      m_onComm();
    }
  }

  FakeEventLoop& m_loop;
  std::map<int, FakeSerialDevice> m_devices;
  int m_open = 0;
  int m_speed = 4800;
  bool m_gone = false;
  OpenAttempt m_lastOpen;
  int m_threshold = 0;
  std::string m_waiting;
  std::function<void()> m_onComm;
  std::vector<int> m_openAttempts;
  int m_notifications = 0;
  int m_surveys = 0;
};

}  // namespace kova
