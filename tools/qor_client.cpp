// A test station: connects to a server with the given identity and network,
// prints the handshake answer, then talks (sound from a file or generated
// frames), sends text and prints every frame it receives. With --interactive
// it takes commands from standard input instead.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/qor_client_proto.h"

namespace {

using namespace qortool;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    long port = 0;
    std::string source;
    ConnectFields fields;
    bool utf8 = false;
    int timeoutMs = 5000;
    std::string talkFile;
    long talkFrames = 0;
    double rate = 5.0;
    std::string text;
    std::string to;
    double listenSec = -1;
    bool interactive = false;
    bool quietSound = false;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: qor_client --port N [options]\n"
        "identity: --email E --password P --callsign C [--band B] --city C [--country C]\n"
        "          [--network NAME] [--desc D] [--version V] [--cef FLAGS] [--utf8]\n"
        "connection: [--host ADDR] [--source ADDR] [--timeout-ms N]\n"
        "actions, in this order:\n"
        "  --talk-file FILE    take the floor and send FILE in 325-byte frames\n"
        "  --talk-frames N     take the floor and send N generated frames\n"
        "  --rate R            frames per second while talking (default 5)\n"
        "  --text MSG [--to ID]  send a text message (to all, or to one client id)\n"
        "  --listen SECONDS    print received frames for that long (default 5)\n"
        "  --quiet-sound       count sound frames instead of printing each\n"
        "  --interactive       commands from standard input: tx0, rx0, talk N, text MSG,\n"
        "                      msg ID MSG, ping, listen SECONDS, quit\n");
}

class Station {
  public:
    Station(QorConnection& c, const Options& o) : c_(c), o_(o), start_(Clock::now()) {}

    // Reads and prints frames for ms milliseconds; false when the connection
    // ended. A silent station would hit the server's activity time-out, so a
    // keep-alive goes out every two seconds without other sends.
    bool PumpFor(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (Clock::now() - lastSend_ >= std::chrono::seconds(2) && !Send(CmdKeepAlive()))
                return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            std::string frame;
            const ReadStatus st = c_.ReadFrame(frame, left > 0 ? int(std::min<long>(left, 1000)) : 0);
            if (st == ReadStatus::Timeout) {
                if (left <= 1000) return true;
                continue;
            }
            if (st != ReadStatus::Ok) {
                std::printf("connection: %s %s\n", ReadStatusText(st), c_.Error().c_str());
                return false;
            }
            Print(frame);
        }
    }

    // "TX0", wait for the approval, frames at the rate, "RX0".
    bool Talk(const std::string& file, long frames) {
        std::string sound;
        if (!file.empty()) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::printf("cannot read %s\n", file.c_str());
                return true;
            }
            sound.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            frames = long((sound.size() + kSoundPayload - 1) / kSoundPayload);
            sound.resize(size_t(frames) * kSoundPayload, '\0');
        }
        if (frames <= 0) return true;
        // The floor is refused to a member the network has not made visible
        // yet; the networks list is the first frame sent after that step.
        const auto until = Clock::now() + std::chrono::milliseconds(o_.timeoutMs);
        while (!listed_) {
            std::string frame;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            const ReadStatus st = c_.ReadFrame(frame, left > 0 ? int(left) : 0);
            if (st != ReadStatus::Ok) {
                std::printf("not listed: %s\n", ReadStatusText(st));
                return st == ReadStatus::Timeout;
            }
            Print(frame);
        }
        if (!Send(CmdTx0())) return false;
        // Frames that arrive before the approval are shown too.
        for (;;) {
            std::string frame;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            const ReadStatus st = c_.ReadFrame(frame, left > 0 ? int(left) : 0);
            if (st != ReadStatus::Ok) {
                std::printf("no TX approval: %s\n", ReadStatusText(st));
                return st == ReadStatus::Timeout;
            }
            Print(frame);
            if (uint8_t(frame[0]) == kFrameTxApproval) break;
        }
        const int periodMs = int(1000.0 / (o_.rate > 0 ? o_.rate : 5.0));
        for (long k = 0; k < frames; ++k) {
            std::string payload;
            if (!sound.empty()) {
                payload = sound.substr(size_t(k) * kSoundPayload, kSoundPayload);
            } else {
                payload.assign(kSoundPayload, '\0');
                for (size_t j = 0; j < kSoundPayload; ++j) payload[j] = char((k * 31 + j) & 0xFF);
            }
            if (!Send(CmdSound(payload)) || !PumpFor(periodMs)) return false;
        }
        std::printf("sent %ld sound frames\n", frames);
        return Send(CmdRx0());
    }

    bool Send(const std::string& bytes) {
        if (bytes.empty()) {
            std::printf("command not sent: the text cannot travel (control bytes?)\n");
            return true;
        }
        if (!c_.SendAll(bytes, o_.timeoutMs)) {
            std::printf("send: %s\n", c_.Error().c_str());
            return false;
        }
        lastSend_ = Clock::now();
        floor_.Sent(bytes);
        return true;
    }

    void Summary() const {
        if (soundFrames_ > 0) std::printf("%ld sound frames received\n", soundFrames_);
    }

  private:
    void Print(const std::string& f) {
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        const uint8_t code = uint8_t(f[0]);
        const char* name = floor_.Received(f);
        if (code == kFrameNetworks) listed_ = true;
        if (code == kFrameSound || code == kFrameSoundShort) {
            ++soundFrames_;
            if (o_.quietSound) return;
            std::printf("%8.3f %s from index %u (%zu bytes)\n", t, name, SoundIndex(f), f.size());
            return;
        }
        std::printf("%8.3f %s (%zu bytes)", t, name, f.size());
        TextMessage m;
        if (code == kFrameTxApproval) {
            std::printf(" index %u", SoundIndex(f));
        } else if (ParseTextFrame(f, m)) {
            std::printf(" from %s %s: %s", m.SenderId.c_str(), m.Private ? "(private)" : "(to all)",
                        m.Text.c_str());
        } else if (ListCount(f) >= 0) {
            std::printf(" %ld members", ListCount(f));
        } else if (code == kFrameNetworks || code == kFrameNetChange || code == kFrameNotice) {
            std::string shown = f.substr(1);
            for (char& ch : shown)
                if (ch == '\r' || ch == '\n') ch = ' ';
            std::printf(" %s", shown.c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    QorConnection& c_;
    const Options& o_;
    Clock::time_point start_;
    Clock::time_point lastSend_ = Clock::now();
    bool listed_ = false;  // the networks list came: the network shows this station
    FloorTracker floor_;
    long soundFrames_ = 0;
};

bool Interactive(Station& s, QorConnection& c) {
    std::printf("commands: tx0, rx0, talk N, text MSG, msg ID MSG, ping, listen SECONDS, quit\n");
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {c.Fd(), POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) return false;
        if (fds[1].revents && !s.PumpFor(0)) return false;
        if (!fds[0].revents) continue;
        std::string line;
        if (!std::getline(std::cin, line) || line == "quit") return true;
        const size_t sp = line.find(' ');
        const std::string cmd = line.substr(0, sp);
        const std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
        bool ok = true;
        if (cmd == "tx0")
            ok = s.Send(CmdTx0());
        else if (cmd == "rx0")
            ok = s.Send(CmdRx0());
        else if (cmd == "ping")
            ok = s.Send(CmdKeepAlive());
        else if (cmd == "talk")
            ok = s.Talk("", std::atol(arg.c_str()));
        else if (cmd == "text")
            ok = s.Send(CmdText(arg));
        else if (cmd == "msg") {
            const size_t sp2 = arg.find(' ');
            ok = s.Send(CmdText(sp2 == std::string::npos ? "" : arg.substr(sp2 + 1), arg.substr(0, sp2)));
        } else if (cmd == "listen")
            ok = s.PumpFor(int(std::atof(arg.c_str()) * 1000));
        else if (!cmd.empty())
            std::printf("unknown command %s\n", cmd.c_str());
        if (!ok) return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.fields.Email = "station@example.invalid";
    o.fields.Password = "test";
    o.fields.Callsign = "TEST Station";
    o.fields.City = "Loopback";
    o.fields.Network = "Test";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value after %s\n", a.c_str());
                std::exit(1);
            }
            return argv[++i];
        };
        if (a == "--host") o.host = value();
        else if (a == "--port") o.port = std::atol(value().c_str());
        else if (a == "--source") o.source = value();
        else if (a == "--email") o.fields.Email = value();
        else if (a == "--password") o.fields.Password = value();
        else if (a == "--callsign") o.fields.Callsign = value();
        else if (a == "--band") o.fields.BandChannel = value();
        else if (a == "--city") o.fields.City = value();
        else if (a == "--country") o.fields.Country = value();
        else if (a == "--network") o.fields.Network = value();
        else if (a == "--desc") o.fields.Description = value();
        else if (a == "--version") o.fields.Version = value();
        else if (a == "--cef") o.fields.ExtFlags = std::atoll(value().c_str());
        else if (a == "--utf8") o.utf8 = true;
        else if (a == "--timeout-ms") o.timeoutMs = std::atoi(value().c_str());
        else if (a == "--talk-file") o.talkFile = value();
        else if (a == "--talk-frames") o.talkFrames = std::atol(value().c_str());
        else if (a == "--rate") o.rate = std::atof(value().c_str());
        else if (a == "--text") o.text = value();
        else if (a == "--to") o.to = value();
        else if (a == "--listen") o.listenSec = std::atof(value().c_str());
        else if (a == "--interactive") o.interactive = true;
        else if (a == "--quiet-sound") o.quietSound = true;
        else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            Usage();
            return 1;
        }
    }
    if (o.port <= 0 || o.port > 65535) {
        Usage();
        return 1;
    }

    const BuildResult cs = BuildConnectString(o.fields, o.utf8 ? ConnectForm::Utf8 : ConnectForm::Ansi);
    if (!cs.Ok()) {
        std::fprintf(stderr, "connect string: %s\n", cs.Error.c_str());
        return 1;
    }
    QorConnection c;
    if (!c.Connect(o.host, uint16_t(o.port), o.source, o.timeoutMs)) {
        std::fprintf(stderr, "%s\n", c.Error().c_str());
        return 2;
    }
    HandshakeAnswer answer;
    const ReadStatus st = c.Handshake(cs.Line, answer, o.timeoutMs);
    if (st != ReadStatus::Ok) {
        std::fprintf(stderr, "handshake: %s %s\n", ReadStatusText(st), c.Error().c_str());
        return 2;
    }
    std::printf("answer: version %s\n", answer.VersionLine.c_str());
    for (const auto& [tag, value] : answer.Tags) std::printf("  %s = %s\n", tag.c_str(), value.c_str());
    if (!answer.Positive()) {
        std::printf("refused: %s\n", answer.Access().c_str());
        return 3;
    }

    Station s(c, o);
    bool ok = true;
    if (o.interactive) {
        ok = Interactive(s, c);
    } else {
        ok = s.Talk(o.talkFile, o.talkFrames);
        if (ok && !o.text.empty()) ok = s.Send(CmdText(o.text, o.to));
        if (ok) ok = s.PumpFor(int((o.listenSec >= 0 ? o.listenSec : 5.0) * 1000));
    }
    s.Summary();
    return ok ? 0 : 4;
}
