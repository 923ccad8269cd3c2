#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/HidDeviceRecord.h"
#include "device/HidViewerRecord.h"
#include "device/UdpSocket.h"
#include "platform/DesktopMessages.h"
#include "platform/Event.h"
#include "platform/Hid.h"
#include "platform/Thread.h"

namespace platform {
class ISerialPort;
}

// A reply buffer that holds the reply of the longest report the units use (43 bytes less the
// report ID) with room to spare. WaitForAnswer refuses a reply span shorter than the reply.
inline constexpr std::size_t kMaxReplyBytes = 64;
using ReplyBuffer = std::array<std::uint8_t, kMaxReplyBytes>;

// Texts that the device-information report caches, in the order the report stores them.
struct DeviceInfoCache {
    std::string interfaceLine;
    std::string imageFileName;
    std::string algorithmDescription;
    std::string channels;
    std::string samplingFrequency;
    std::string mainPicText;
    std::string interfacePicText;

    void clear() { *this = DeviceInfoCache{}; }
};

// The signal processor's hardware, as the unit reports it; the defaults stand when it reports
// nothing.
struct HardwareConfig {
    int dspType = 0;
    std::string dspName;
    int clockMhz = 108;
    int memoryType = 0;
    int config4 = 0;
    int config5 = 15;
    int config6 = 0;
    int hardwareVersion = 0;
    int config8 = 0;
    int config9 = 0;
};

// What the optional background reader shares with the device object.
struct ReaderBlock {
    platform::Event stopEvent{platform::Event::Reset::Auto};
    platform::Event dataEvent{platform::Event::Reset::Auto};
    HidDeviceRecord readDevice;
    int lastReplyCode = 0;

    // A copy of the last report the reader received, so that the next read never overwrites
    // what a consumer is still looking at.
    std::vector<std::uint8_t> TakeLastReport();
    void StoreLastReport(const std::vector<std::uint8_t>& report);

private:
    std::mutex m_reportMutex;
    std::vector<std::uint8_t> m_lastReport;
};

// The device link: the HID device list, the open write and read records, the routes to the
// unit and the identity of the connected unit. One instance lives as long as the dialog.
class CHIDProtocol {
public:
    explicit CHIDProtocol(platform::IHidBus& hidBus);
    virtual ~CHIDProtocol();
    CHIDProtocol(const CHIDProtocol&) = delete;
    CHIDProtocol& operator=(const CHIDProtocol&) = delete;

    // Sends message and waits up to timeoutMs for the reply that answers it. Returns the
    // reply code (0..0xFFFE) with the reply in `reply`, or -1.
    int WaitForAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                      std::uint32_t timeoutMs);

    bool UsesAddressBytes() const;
    void ReopenReadHandle();

    // Opens (open = true) or closes the selected interface; startReader also runs ReadThread.
    void OpenDevice(bool open, bool startReader);

    void Disconnect();
    std::string GetProductName() const { return m_productName; }

    // The input report length of the write record (0 before any device was opened).
    int ReportLength() const { return m_writeDevice.caps.inputReportByteLength; }

    platform::IHidBus& hidBus() { return m_hidBus; }

    // --- Product codes, families and level steps ---

    // Every unit message of the identification, parameter and probe operations waits this long.
    static constexpr std::uint32_t kUnitReplyTimeoutMs = 1000;

    // The level thresholds that relate a unit's volume step 0..24 to a slider value 0..65535.
    static constexpr std::array<int, 25> LevelSliderSteps = {
        0,    50,   100,  200,   400,   550,   800,   1000,  1200,  1500,  2000,  3000, 4000,
        5000, 6000, 7000, 10000, 13000, 15000, 20000, 24000, 32000, 40000, 50000, 62000};

    // 9 in IP mode, else the input report length of the write record.
    int GetReportLength() const;

    bool IsOrrinFamily() const;
    bool IsVelmarFamily() const;
    bool IsTolvinFamily() const;
    bool IsKR103Family() const;
    bool IsKR401Family() const;
    bool IsLoopbackModel() const;
    // The same families for any product code.
    static bool IsOrrinCode(int code);
    static bool IsVelmarCode(int code);
    static bool IsTolvinCode(int code);
    static bool IsKR103Code(int code);
    static bool IsKR401Code(int code);

    // True when code belongs to the group that a FamilySelector (-2 .. -10) names.
    static bool MatchFamilySelector(int code, int selector);
    // True for the vendors and products this program drives, on a collection without input buttons.
    static bool IsSupportedDevice(std::uint16_t vendorId, std::uint16_t productId,
                                  std::uint16_t inputButtonCaps);

    // Lists the present HID interfaces again, releasing the old list.
    void RefreshDeviceList();
    // Writes one command word without waiting for a reply (HID only); true when it went out.
    bool SendCommandNoReply(std::uint16_t word);

    // While on, the first message that the HID unit leaves without any report in reply marks
    // the unit silent: from then on nothing more is written to it and every message returns -1
    // at once, so that a unit that went away costs one time-out, not one per command. Below
    // protocol level 13 only command words set the mark (such units leave frames they do not
    // know unanswered). Turning the guard on or off clears the mark.
    void StopWhenSilent(bool on);
    bool UnitWentSilent() const { return m_unitSilent; }

    static int LevelToSliderValue(int step);
    static int SliderValueToLevel(int value);

    // --- Signal-processor parameter access ---

    // Each returns the last frame's reply code, -1 (precondition failed or no answer), or a
    // ParameterError -2..-6 for a frame the processor refused with error byte 255..251.
    int GetParameter(std::uint8_t page, std::uint8_t parameter, std::uint16_t* words, int count,
                     int flag = 0);
    int SetParameter(std::uint8_t page, std::uint8_t parameter, const std::uint16_t* words, int count,
                     int flag = 0);
    int SetParameterItem(std::uint8_t page, std::uint8_t parameter, std::uint8_t index, int value);
    int GetParameterItem(std::uint8_t page, std::uint8_t parameter, std::uint8_t index, std::uint16_t& word,
                         int flag = 0);

    // The ParameterError of a refusal's error byte, or replyCode for any other error number.
    static int ParameterErrorFromByte(std::uint8_t errorByte, int replyCode);

    // --- Unit commands, status words and unit ID ---

    static constexpr std::size_t kMaxParameterStringLength = 119;

    // Register commands of the older protocol: REGISTER_READ + 0x100 * n reads register n (its
    // value in the low byte of the reply code); REGISTER_WRITE + 0x100 * n + v writes v to it.
    static constexpr std::uint16_t REGISTER_READ = 0x6000;
    static constexpr std::uint16_t REGISTER_WRITE = 0x5000;

    int SendCommand(std::uint16_t word, std::uint32_t timeoutMs);
    int SetRegisterBit(int n);
    void ClearRegisterBit(int n);
    std::string ReadSerialNumber();
    int GetParameterString(std::uint8_t page, std::uint8_t parameter, std::string& text, int flag = 0);
    int SetParameterBit(unsigned page, unsigned bit, int set);
    bool GetStatusWords(std::uint16_t words[2], bool byParameter, int which);
    int TestStatusBit(int bit, bool byParameter, int which);
    int SetRouting(std::uint8_t a, std::uint8_t b);
    bool IsNewBoard();
    // The unit-ID word (0..0xFFFFFFFF), kUnitIdNoAnswer or kUnitIdNewBoard. Wider than the word
    // so that no word is mistaken for a marker.
    std::int64_t ReadUnitId();
    // The text of a word; kUnitIdNoAnswer gives "Not Supported", kUnitIdUnread "New Board".
    std::string FormatUnitId(std::int64_t word) const;
    std::string GetUnitId();

    static constexpr std::int64_t kUnitIdUnread = -1;
    static constexpr std::int64_t kUnitIdNoAnswer = -2;
    static constexpr std::int64_t kUnitIdNewBoard = -3;

    // --- Unit probes: line interface, hardware configuration and network ---

    // Asks the unit whether it still answers; closes the device when it does not.
    bool IsConnected();
    // The interface board's name (empty for none); sets m_interfaceTypeCode with it.
    std::string DetectInterfaceType();
    int GetInterfaceTypeCode();
    bool IsLinePresent();
    void ToggleLineRelay();
    void PulseLineSelect();
    // which: 1 the main PIC, 2 the interface PIC.
    bool ReadPicInfo(int which, int& id, int& major, int& minor);
    bool ReadHardwareConfig(HardwareConfig& config);
    std::string ReadSipVersion();
    std::string ReadMacAddress();
    std::string ReadIpAddress();
    // The interface name that goes with a code, for units of firmware number fw.
    static std::string InterfaceTypeName(int code, int firmwareNumber);

    // --- Connect and identification ---

    // Selects a unit (wanted: a product code, -1 any supported device, or a FamilySelector;
    // with byIndex an index into the device list), opens it and reads its identity (full: the
    // algorithm, firmware and protocol level too). False, after Disconnect, when no unit was
    // found or the device could not be opened.
    bool Connect(int wanted, bool byIndex, bool full);
    void DetectProtocolVersion();
    // The product name of a product code; empty for an unknown code.
    static std::string ProductNameFromCode(int code);

    // Identity of the connected unit, read directly by the dialog.
    int m_defaultVolumeBase = 0x603F;
    int m_firmwareNumber = 0;
    int m_firmwareMajor = 0;
    int m_firmwareMinor = 0;
    int m_protocolVersion = 0;
    std::string m_firmwareVersionText;

    // Route state.
    std::array<std::array<char, 80>, 20> m_discoveredUnits{};
    int m_discoveredCount = 0;
    int m_ipReplyReady = 0;
    std::array<std::uint8_t, 8> m_ipReply{};
    std::string* m_log = nullptr;
    std::string m_programName;
    std::array<std::uint16_t, 5> m_mailboxCache{};
    bool m_mailboxCacheEnabled = true;
    DeviceInfoCache m_infoCache;
    int m_slaveUnit = 0;
    int m_respondingUnit = 0;
    bool m_hubForwarding = false;
    bool m_unit99Enabled = false;
    bool m_ipMode = false;
    bool m_ipAnswered = false;

    // Devices.
    std::vector<HidDeviceRecord> m_devices;
    HidDeviceRecord m_writeDevice;
    ReaderBlock m_reader;
    platform::ISerialPort* m_comPort = nullptr;
    int m_selectedDevice = -1;
    int m_productCode = 0;
    int m_algorithmCode = 0;
    std::uint32_t m_unitIdWord = 0;
    bool m_unitIdRead = false;
    int m_interfaceTypeCode = 0;
    bool m_startReaderOnOpen = false;
    bool m_readerRunning = false;
    bool m_deviceOpen = false;
    bool m_unitIdAltLayout = false;
    std::string m_productName;
    std::string m_interfaceTypeName;
    std::string m_configFileInfo;

    // The program's file name without folder and extension ("Wizard" for /opt/x/Wizard.exe).
    static std::string ProgramNameFromPath(const std::string& path);

    // --- Device-information report ---
    // The report of the connected unit, and of the unit attached to a hub: CR LF separated
    // lines without a final line break; empty when the unit does not answer.
    std::string GetDeviceInfoReport();

protected:
    // The full block of one unit (without the hub's product and audio lines after a hub block).
    std::string FullInfoBlock(bool afterHubBlock);
    // "ID-%d, Version-%d.%d" of PIC 1 (main) or 2 (interface); empty when it cannot be read.
    std::string PicText(int which);
    // Sets or clears the attached-unit bit of the hub's parameter (0, 10).
    void SetHubAttachBit(bool on);

public:
    // --- Message trace and viewer records ---
    // The viewer window an exchange found when it started; nullopt means no viewer records.
    using ViewerWindow = std::optional<platform::WindowTarget>;

    // The record being filled for the viewer window.
    HidViewerRecord m_viewerRecord;

    // Sends text to the viewer as a text record (kind 2); does nothing without a viewer.
    void CopyTextToViewer(const ViewerWindow& viewer, const std::string& text);

    // "0x%2.2X" for the first byte and ", 0x%2.2X" for each further one.
    static std::string FormatByteList(std::span<const std::uint8_t> bytes);

protected:
    static ViewerWindow FindViewerWindow();
    // Appends a line to the attached log and announces it by the broadcast 900; nothing when
    // no log is attached.
    void AppendLogLine(const std::string& line);
    // A trace line of the COM, slave and IP routes: to the log, then to the viewer.
    void TraceRouteLine(const ViewerWindow& viewer, const std::string& line);
    // A route error: to the log, or a warning box captioned with the route's name when no log
    // is attached; then to the viewer.
    void ReportRouteError(const ViewerWindow& viewer, const char* caption, const std::string& line);
    // The HID route's write and read traces; `body` is the report without its report-ID byte.
    void TraceHidWrite(const ViewerWindow& viewer, std::uint32_t kind, std::span<const std::uint8_t> message,
                       std::span<const std::uint8_t> body, bool addressed);
    void PrepareHidReadRecord(std::span<const std::uint8_t> body, bool addressed);
    void SendViewerRecord(const ViewerWindow& viewer);

public:
    // --- Slave route through a hub's signal processor ---
    // The protocol level of the local unit, recorded when it was identified (-1: not yet).
    // The mailbox exchanges with the local unit are gated on it rather than on the level of
    // the unit behind the hub, which is what m_protocolVersion holds while that unit is
    // identified.
    int m_localProtocolVersion = -1;

protected:
    // Writes word i of the mailbox (0 the target word, 1..4 the message words): 1 accepted,
    // -1 refused, 0 not sent or not answered.
    int WriteMailboxWord(std::uint8_t index, std::uint16_t word);

public:
    // --- COM-port route ---
    // While a port is attached every exchange goes over it. The caller opened the port, keeps
    // it open while attached, and detaches it before closing it.
    void AttachComPort(platform::ISerialPort* port) { m_comPort = port; }
    void DetachComPort() { m_comPort = nullptr; }
    // The line of a message on the serial and IP routes: the unit character when a slave unit
    // is addressed, 8 message bytes as 16 upper-case hexadecimal digits (a shorter message
    // padded with zeros), CR. Empty for a message of more than 8 bytes.
    std::string EncodeHexLine(std::span<const std::uint8_t> message) const;
    // Decodes out.size() bytes from two upper-case hexadecimal digits each; false for a text
    // that is too short or holds any other character.
    static bool DecodeHexLine(std::span<const char> text, std::span<std::uint8_t> out);

    // --- IP route ---
    // The route's datagram socket, without a system socket until someone creates one.
    UdpSocket m_udpSocket;
    // Decodes a "DSP:" reply (16 hexadecimal digits from its sixth character) into m_ipReply and
    // sets m_ipReplyReady; false, changing nothing, for any other or malformed text.
    bool ParseIpReply(const char* text);
    // Adds the row "%s   %s   %s" (second word, first word, rest of the line) of an
    // announcement; dropped when all 20 rows are in use or a field is longer than its width.
    void AddDiscoveredUnit(const char* first, const char* second, const char* third, int number,
                           const char* rest);

protected:
    // The other routes; each returns the reply code or -1 like the HID route.
    virtual int WaitForComAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                 std::uint32_t timeoutMs);
    virtual int WaitForSlaveAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                   std::uint32_t timeoutMs);
    virtual int WaitForIPAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                                std::uint32_t timeoutMs);
    // The IP route's greeting at connection ("INIT:" through the datagram socket), then 100 ms.
    virtual void SendIPGreeting();

private:
    int WaitForHidAnswer(std::span<const std::uint8_t> message, std::span<std::uint8_t> reply,
                         std::uint32_t timeoutMs);
    void StopReaderThread();
    void CloseDevice();
    static void ReadThread(ReaderBlock& reader);

    // Helpers of the parameter, command and probe operations.
    using Frame = std::array<std::uint8_t, 8>;
    int SendFrame(const Frame& frame, ReplyBuffer& reply);
    int SendWord(std::uint16_t word, ReplyBuffer& reply, std::uint32_t timeoutMs = kUnitReplyTimeoutMs);
    // Protocol level 13 and a report that holds a frame (or IP mode).
    bool ParameterAccessAllowed() const;
    // The unit-ID word by frame (level 11 or more, and a frame fits when checkLength) or by the
    // eight nibble commands; nullopt when any message goes unanswered.
    std::optional<std::uint32_t> ReadUnitIdWord(bool checkLength);
    // One network request of the processor (page 6, parameter 13): the answer words, or
    // nullopt when a read goes unanswered.
    std::optional<std::array<std::uint16_t, 4>> ReadNetworkWords(int request, int count);
    void SetInterfaceType(int code);

    platform::IHidBus& m_hidBus;
    platform::WorkerThread m_readerThread;
    bool m_stopWhenSilent = false;
    bool m_unitSilent = false;
    bool m_lastExchangeUnanswered = false;  // the last HID exchange got no report at all
};
