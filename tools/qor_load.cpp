// The relay load tool: one talker and N listeners against the server (mode
// qor) or the bare fan-out relay (mode bare), frames at a set rate, each
// stamped with its send time; listeners send a keep-alive every 600 ms at
// their own phases and (server) ask for full client lists. Prints delivery,
// p50/p99/max talker-to-listener latency at the tool and at the kernel
// receive time, frames over 50 ms, the relay process's CPU time per delivered
// frame, and one "RESULT" line of key=value pairs for scripts.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/qor_load_engine.h"
#include "tools/qor_scale_engine.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: qor_load --port N [options]\n"
                 "  --mode qor|bare|scale  protocol, or the scale run (default qor)\n"
                 "  --host ADDR          server IPv4 address (default 127.0.0.1)\n"
                 "  --listeners N        listeners (default 100)\n"
                 "  --frames N           measured frames (default 100)\n"
                 "  --rate R             frames per second (default 5)\n"
                 "  --per-address N      connections per source address, 0 = no bind (default 4)\n"
                 "  --source ADDR        first source address (default 127.0.0.2)\n"
                 "  --network NAME       network to join (default Test)\n"
                 "  --threads N          receiver threads of the tool (default 2)\n"
                 "  --pid PID            relay process for the CPU figure (default: the one\n"
                 "                       listening on the port)\n"
                 "  --warmup-ms N        longest warm-up (default 15000)\n"
                 "  --drain-ms N         wait for late frames (default 3000)\n"
                 "  --warmup-frames N    unmeasured frames at least (default 25)\n"
                 "  --no-lists           listeners ask for no client lists\n"
                 "  --churn N            stations that join and leave during the measure\n"
                 "scale run (--mode scale): N idle stations held by the server\n"
                 "  --clients N          stations (default 10000)\n"
                 "  --hold-ms N          idle hold after the last one joined (default 5000)\n"
                 "  --timeout-ms N       for all of them to join (default 60000)\n"
                 "  --max-pending N      stations connected and not yet answered at most,\n"
                 "                       below the server's listen backlog (default 900; 0: no bound)\n"
                 "  (--host, --port, --per-address, --source, --network, --threads, --pid apply)\n"
                 "helpers for scripts:\n"
                 "  qor_load --free-port               print a free loopback port\n"
                 "  qor_load --wait-port N [--timeout-ms M]  wait until 127.0.0.1:N accepts\n");
}

// A port the kernel just handed out for a loopback listener (free, barring a race).
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    qortool::MakeIPv4("127.0.0.1", 0, a);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("free port");
        return 1;
    }
    close(s);
    std::printf("%u\n", unsigned(ntohs(a.sin_port)));
    return 0;
}

// Connect attempts, paced by a short poll, until one is accepted.
int WaitPort(long port, long timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        qortool::QorConnection c;
        if (c.Connect("127.0.0.1", uint16_t(port), "", 1000)) return 0;
        poll(nullptr, 0, 20);
    }
    std::fprintf(stderr, "nothing accepts on 127.0.0.1:%ld\n", port);
    return 1;
}

int RunScaleMode(const qortool::LoadConfig& aLoad, int aClients, int aHoldMs, int aTimeoutMs,
                 int aMaxPending) {
    qortool::ScaleConfig cfg;
    cfg.Host = aLoad.Host;
    cfg.Port = aLoad.Port;
    cfg.Clients = aClients;
    cfg.PerAddress = aLoad.PerAddress;
    cfg.FirstSource = aLoad.FirstSource;
    cfg.Network = aLoad.Network;
    cfg.Threads = aLoad.ReceiverThreads;
    cfg.ServerPid = aLoad.ServerPid;
    cfg.HoldMs = aHoldMs;
    cfg.TimeoutMs = aTimeoutMs;
    cfg.MaxPending = aMaxPending;
    const qortool::ScaleResult r = qortool::RunScale(cfg);
    if (!r.Ok) {
        std::fprintf(stderr, "qor_load (scale, %d stations): %s\n", aClients, r.Error.c_str());
        std::printf("RESULT mode=scale clients=%d ok=0\n", aClients);
        return 2;
    }
    std::printf("scale, %d stations: %d answered, %d joined, %d refused, %d lost\n", aClients,
                r.Answered, r.Listed, r.Refused, r.Lost);
    if (!r.FirstRefusal.empty()) std::printf("  first failure: %s\n", r.FirstRefusal.c_str());
    std::printf("  handshakes %.0f per second (%d in %.2f s)\n", r.HandshakesPerSec, r.Answered,
                r.HandshakeSec);
    std::printf("  server rss %ld kB before, %ld kB holding them: %.2f kB per station\n",
                r.RssBeforeKb, r.RssHeldKb, r.RssPerClientKb);
    std::printf("  server cpu %.3f s over a %.1f s idle hold\n", r.HoldCpuSec, r.HoldSec);
    std::printf("RESULT mode=scale clients=%d ok=1 answered=%d joined=%d refused=%d lost=%d "
                "handshakes_per_s=%.0f rss_before_kb=%ld rss_held_kb=%ld rss_kb_per_client=%.2f "
                "hold_cpu_s=%.3f hold_s=%.1f\n",
                aClients, r.Answered, r.Listed, r.Refused, r.Lost, r.HandshakesPerSec, r.RssBeforeKb,
                r.RssHeldKb, r.RssPerClientKb, r.HoldCpuSec, r.HoldSec);
    return r.Answered == aClients && r.Listed == aClients ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--free-port") return FreePort();
    if (argc >= 3 && std::string(argv[1]) == "--wait-port") {
        const long timeout = argc >= 5 && std::string(argv[3]) == "--timeout-ms" ? std::atol(argv[4]) : 10000;
        return WaitPort(std::atol(argv[2]), timeout);
    }
    qortool::LoadConfig cfg;
    bool scale = false;
    int scaleClients = 10000, holdMs = 5000, scaleTimeoutMs = 60000, maxPending = 900;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value after %s\n", a.c_str());
                std::exit(1);
            }
            return argv[++i];
        };
        auto number = [&]() -> long {
            const std::string v = value();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != 0) {
                std::fprintf(stderr, "%s: not a number: %s\n", a.c_str(), v.c_str());
                std::exit(1);
            }
            return n;
        };
        if (a == "--mode") {
            const std::string m = value();
            if (m == "bare")
                cfg.Mode = qortool::LoadMode::Bare;
            else if (m == "qor")
                cfg.Mode = qortool::LoadMode::Qor;
            else if (m == "scale")
                scale = true;
            else {
                std::fprintf(stderr, "--mode: qor, bare or scale\n");
                return 1;
            }
        } else if (a == "--host") {
            cfg.Host = value();
        } else if (a == "--port") {
            const long p = number();
            if (p <= 0 || p > 65535) {
                std::fprintf(stderr, "--port: 1..65535\n");
                return 1;
            }
            cfg.Port = uint16_t(p);
        } else if (a == "--listeners") {
            cfg.Listeners = int(number());
        } else if (a == "--frames") {
            cfg.Frames = int(number());
        } else if (a == "--rate") {
            cfg.Rate = std::atof(value().c_str());
        } else if (a == "--per-address") {
            cfg.PerAddress = int(number());
        } else if (a == "--source") {
            cfg.FirstSource = value();
        } else if (a == "--network") {
            cfg.Network = value();
        } else if (a == "--threads") {
            cfg.ReceiverThreads = int(number());
        } else if (a == "--pid") {
            cfg.ServerPid = int(number());
        } else if (a == "--warmup-ms") {
            cfg.WarmupTimeoutMs = int(number());
        } else if (a == "--drain-ms") {
            cfg.DrainMs = int(number());
        } else if (a == "--warmup-frames") {
            cfg.WarmupFrames = int(number());
        } else if (a == "--no-lists") {
            cfg.FullLists = false;
        } else if (a == "--churn") {
            cfg.Churn = int(number());
        } else if (a == "--clients") {
            scaleClients = int(number());
        } else if (a == "--hold-ms") {
            holdMs = int(number());
        } else if (a == "--timeout-ms") {
            scaleTimeoutMs = int(number());
        } else if (a == "--max-pending") {
            maxPending = int(number());
        } else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            Usage();
            return 1;
        }
    }
    if (cfg.Port == 0) {
        Usage();
        return 1;
    }

    if (scale) return RunScaleMode(cfg, scaleClients, holdMs, scaleTimeoutMs, maxPending);

    const char* mode = cfg.Mode == qortool::LoadMode::Bare ? "bare" : "qor";
    const qortool::LoadResult r = qortool::RunLoad(cfg);
    if (!r.Ok) {
        std::fprintf(stderr, "qor_load (%s, %d listeners): %s\n", mode, cfg.Listeners, r.Error.c_str());
        std::printf("RESULT mode=%s listeners=%d ok=0\n", mode, cfg.Listeners);
        return 2;
    }
    std::printf("%s relay, %d listeners (%d admitted, %d warm), %ld frames at %.1f/s\n", mode,
                cfg.Listeners, r.Connected, r.Warm, r.FramesSent, cfg.Rate);
    std::printf("  delivery   %ld of %ld (%.2f%%), corrupt %ld, out of order %ld\n", r.Delivered,
                r.Expected, 100.0 * r.Delivery(), r.Corrupt, r.OutOfOrder);
    std::printf("  latency    p50 %.1f us, p99 %.1f us, max %.1f us, %ld over 50 ms\n", r.P50Us,
                r.P99Us, r.MaxUs, r.Over50Ms);
    std::printf("  kernel rx  p50 %.1f us, p99 %.1f us, max %.1f us, %ld over 50 ms\n",
                r.KernelP50Us, r.KernelP99Us, r.KernelMaxUs, r.KernelOver50Ms);
    if (cfg.Churn > 0)
        std::printf("  churn      %d of %d stations joined and left\n", r.ChurnJoined, cfg.Churn);
    if (r.ServerPid > 0 && r.ServerCpuSec >= 0)
        std::printf("  relay cpu  pid %d: %.3f s, %.3f us per delivered frame\n", r.ServerPid,
                    r.ServerCpuSec, r.CpuPerDeliveredUs);
    else
        std::printf("  relay cpu  not available (no pid)\n");
    std::printf("  tool cpu   %.3f s over %.1f s\n", r.ToolCpuSec, r.MeasureSec);
    std::printf(
        "RESULT mode=%s listeners=%d ok=1 expected=%ld delivered=%ld delivery=%.4f corrupt=%ld "
        "p50_us=%.1f p99_us=%.1f max_us=%.1f over50=%ld kp50_us=%.1f kp99_us=%.1f kmax_us=%.1f "
        "kover50=%ld cpu_s=%.3f cpu_us_per_frame=%.3f tool_cpu_s=%.3f churn_joined=%d\n",
        mode, cfg.Listeners, r.Expected, r.Delivered, r.Delivery(), r.Corrupt, r.P50Us, r.P99Us,
        r.MaxUs, r.Over50Ms, r.KernelP50Us, r.KernelP99Us, r.KernelMaxUs, r.KernelOver50Ms,
        r.ServerCpuSec, r.CpuPerDeliveredUs, r.ToolCpuSec, r.ChurnJoined);
    return 0;
}
