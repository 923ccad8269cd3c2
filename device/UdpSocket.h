#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Event.h"

class CHIDProtocol;

// The datagram socket of the IP route: sends "DSP:" requests to the unit's port 8888, keeps the
// last "DSP:" reply, and hands unit announcements ("QNLR: ...") to its owner. It is constructed
// without a system socket; Create makes one.
class UdpSocket {
public:
    static constexpr std::uint16_t kUnitPort = 8888;
    static constexpr std::size_t kMaxDatagramBytes = 1000;
    static constexpr std::size_t kPeerAddressChars = 59;
    static constexpr std::size_t kLastReplyChars = 99;

    UdpSocket();
    virtual ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the system socket bound to localAddress:localPort (0 picks a free port). A UDP
    // socket can send at once, so the socket is ready from here on.
    bool Create(std::uint16_t localPort = 0, const std::string& localAddress = "0.0.0.0");
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    std::uint16_t LocalPort() const;

    // The socket has become writable / has a datagram waiting. errorCode 0 means none.
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    // Sends to the broadcast address; the result of SendDatagram.
    virtual bool SendBroadcast(const void* data, int length);
    // Sends to the peer address (or the broadcast address while broadcasting); true when the
    // datagram was handed to the system.
    virtual bool SendDatagram(const void* data, int length);

    // Waits up to timeoutMs for datagrams, handing each to OnReceive as it arrives.
    void WaitForDatagrams(std::uint32_t timeoutMs);

    void SetOwner(CHIDProtocol* owner) { m_owner = owner; }
    // An address longer than the field holds is refused (false).
    bool SetPeerAddress(const std::string& address);
    const std::string& PeerAddress() const { return m_peerAddress; }
    // The port requests go to (8888; tests use one of their own) and the broadcast address.
    void SetRemotePort(std::uint16_t port) { m_remotePort = port; }
    void SetBroadcastAddress(const std::string& address) { m_broadcastAddress = address; }

    const std::string& LastReply() const { return m_lastReply; }
    void ClearLastReply() { m_lastReply.clear(); }
    bool IsReady() const { return m_ready; }

private:
    bool m_ready = false;
    CHIDProtocol* m_owner = nullptr;
    std::string m_peerAddress;
    platform::Event m_event{platform::Event::Reset::Auto};
    std::string m_lastReply;
    bool m_broadcast = false;

    int m_fd = -1;
    std::uint16_t m_remotePort = kUnitPort;
    std::string m_broadcastAddress = "255.255.255.255";
};

// A unit announcement "QNLR: first second third number rest", fields separated by single
// spaces, the rest of the line ending at a line feed or the end of the text.
struct UnitAnnouncement {
    static constexpr std::size_t kWordChars = 19;
    static constexpr std::size_t kThirdWordChars = 23;
    static constexpr std::size_t kRestChars = 31;

    std::string first;
    std::string second;
    std::string third;
    int number = 0;
    std::string rest;
};

// Parses an announcement; nullopt for anything malformed or a field longer than its width.
std::optional<UnitAnnouncement> ParseUnitAnnouncement(std::string_view text);

// The Windows socket error number for an errno value, as the send error box shows it.
int SocketErrorNumber(int errnoValue);
