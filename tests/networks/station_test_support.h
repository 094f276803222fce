// A station on the client's side of a running server: the connect fields a
// test station sends, its join over TCP to a loopback port, and the reads
// that wait for where it stands. Tests wait for frames, never for delays.
//
// Threads: everything here runs on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tools/qor_client_proto.h"

namespace station_test {

using namespace qortool;

// The fields of a station that asks for aNetwork; the password, the town and
// the land do not matter to the tests, only that they travel.
inline ConnectFields Station(const std::string& aEmail, const std::string& aCallsign,
                             const std::string& aNetwork = "Test") {
    ConnectFields f;
    f.Email = aEmail;
    f.Callsign = aCallsign;
    f.Password = "secret";
    f.City = "Town";
    f.Country = "Land";
    f.Network = aNetwork;
    return f;
}

// Connects to aPort on 127.0.0.1 and hands over the connect string; succeeds
// only on a positive answer, which lands in aAnswer when given.
inline ::testing::AssertionResult Join(QorConnection& aConn, uint16_t aPort,
                                       const ConnectFields& aFields,
                                       ConnectForm aForm = ConnectForm::Ansi,
                                       HandshakeAnswer* aAnswer = nullptr) {
    const BuildResult b = BuildConnectString(aFields, aForm);
    if (!b.Ok()) return ::testing::AssertionFailure() << b.Error;
    if (!aConn.Connect("127.0.0.1", aPort, "", 5000))
        return ::testing::AssertionFailure() << aConn.Error();
    HandshakeAnswer a;
    const ReadStatus st = aConn.Handshake(b.Line, a, 20000);
    if (st != ReadStatus::Ok) return ::testing::AssertionFailure() << ReadStatusText(st);
    if (!a.Positive()) return ::testing::AssertionFailure() << "refused: " << a.Access();
    if (aAnswer != nullptr) *aAnswer = a;
    return ::testing::AssertionSuccess();
}

// Reads frames until a client list shows aCount members; false once a read
// fails or aMs have passed.
inline bool WaitForListOf(QorConnection& aConn, long aCount, int aMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    std::string frame;
    while (std::chrono::steady_clock::now() < end) {
        if (aConn.ReadFrame(frame, aMs) != ReadStatus::Ok) return false;
        if (ListCount(frame) == aCount) return true;
    }
    return false;
}

// Reads mutes lists until one holds aCount entries.
inline bool WaitForMutesOf(QorConnection& aConn, int aCount) {
    const std::string count = std::to_string(aCount) + "\r\n";
    std::string frame;
    for (int i = 0; i < 100; ++i) {
        if (aConn.WaitForFrame(kFrameMutes, frame, 20000) != ReadStatus::Ok) return false;
        if (frame.compare(1, count.size(), count) == 0) return true;
    }
    return false;
}

}  // namespace station_test
