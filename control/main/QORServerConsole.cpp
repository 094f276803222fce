// The console program: runs the server (run, debug) and is the operator's
// command-line tool that reads and edits the configuration file and controls a
// running server through the local command channel. One command per start;
// the exit code reports its outcome. Everything here runs on the main thread.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control/gax_qor_cmdchannel.h"
#include "control/gax_qor_cmdclient.h"
#include "control/gax_qor_cmdwords.h"
#include "control/gax_qor_logoutput.h"
#include "control/gax_qor_paramedit.h"
#include "control/gax_qor_svc_command.h"
#include "control/gax_qor_svc_run.h"
#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_fileutils.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_strutils.h"
#include "platform/plat_file.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_netoptions.h"
#include "server/gax_qor_svc_networks_list.h"
#include "server/gax_qor_svc_setup.h"
#include "sockets/gax_snps_utils.h"
#include "sysman/gax_qor_svc_sysman.h"

using namespace gax;

namespace {

using C = TQORSVCCommand;

constexpr std::u16string_view kVersionLine = u"QORServer-console (Win32) revision 7348(2022-10-13)";
constexpr std::u16string_view kHelpTitle = u"Kelvoran-Server-r7348(2022-10-13)-Win32";
constexpr std::u16string_view kSite = u"qorserver.example.org";
constexpr std::u16string_view kOrigin = u"QORServer console program for Linux";
constexpr std::u16string_view kEMail = u"operator@example.org";

constexpr std::u16string_view kHelpFlags[] = {
    u" -e, --email: show e-mail address of the clienton the list of connected clients",
    u" -d, --serverid: show server ID of the client on the list of connected clients",
    u" -i, --ip: show IP address of the client on the list of connected clients",
    u" -m, --managerid: show manager IDs of the client on the list of connected clients",
    u" -p, --proto: show QOR protocol flags the for client in the list of connected clients",
    u" -f, --full: show full info: e-mail, server ID, IP address and protocol flags in the list of connected clients",
    u" -l, --flat: show flat list of connected clients",
    u" -r <c>, --deli <c>: delimiter char <c> for lists",
    u" -u, --utf8: use UTF8 encoding for text output",
    u" -a, --ansi: use default Windows ANSI encoding for text output",
    u" -o, --oem: use default Windows OEM encoding for text output; default",
};

constexpr std::u16string_view kHelpCommands[] = {
    u" debug [config] - debug mode, run synchronously, event protocol to stdout",
    u" run [config], run synchronously, event protocol to log-file",
    u" logfilename [config] - show fact LOG-file name",
    u" mutesfilename [config] - show fact filename of list of muted clients",
    u" blocksfilename [config] - show fact filename of list of blocked clients",
    u" adminsfilename [config] - show fact filename of list of admins",
    u" rightsfilename [config] - show fact filename of access list",
    u" modesfilename [config] - show fact filename of list of modes",
    u" noticesfilename [config] - show fact filename of access info messages",
    u" setmanpassidx <index> PasSwOrD [config] - change password for manager <index> in configuration file only",
    u" dsetmanpassidx <index> PasSwOrD [config] - online change password for manager <index> for the running server only",
    u" dsetmanloglevelidx <index> <loglevel> [config] - online change log level for manager <index> for the running server only",
    u" setmanemailidx <index> <newemail> [config] - change auth email for manager <index> in configuration file only",
    u" dsetmanemailidx <index> <newemail> [config] - online change auth email for manager <index> for the running server only",
    u" setmanpassaddr <address> PasSwOrD [config] - change password for manager <address> in configuration file only",
    u" dsetmanpassaddr <address> PasSwOrD [config] - change password for manager <address> for the running server only",
    u" setmanpassaddremail <address> <email> PasSwOrD [config] - change password for manager <address> with auth email <email> in configuration file only",
    u" dsetmanpassaddremail <address> <email> PasSwOrD [config] - change password for manager <address> with auth email <email> for the running server only",
    u" managers [config] - show manager connections online statistics for the running server only",
    u" dstop [config] - stop the running daemon",
    u" dpid [config] - show PID of the running daemon",
    u" dreopenlog [config] - reopen log file for the running daemon; sends reopen command to the daemon",
    u" list [config] - list of connected clients for the whole server",
    u" listnet \"netname\" [config] - list of clients connected to the network \"netname\"",
    u" drereadmutes [config] - reread the list of muted clients from the default file for the running daemon",
    u" frereadmutes \"filename\" [config] - reread the list of muted clients from the \"filename\" file for the running daemon",
    u" drereadblocks [config] - reread the list of blocked clients from the default file for the running daemon",
    u" frereadblocks \"filename\" [config] - reread the list of blocked clients from the \"filename\" file for the running daemon",
    u" drereadadmins [config] - reread the list of administrators from the default file for the running daemon",
    u" frereadadmins \"filename\" [config] - reread the list of administrators from the file <filename> for the running daemon",
    u" drereadmodes [config] - reread the list of modes from the default file for the running daemon",
    u" frereadmodes <filename> [config] - reread the modes list from the <filename> file for the running daemon",
    u" drereadrights [config] - reread the default access list for the running daemon",
    u" frereadrights <filename> [config] - reread the access list from the <filename> file for the running daemon",
    u" drereadnotices [config] - reread the list of access info messages from the default file for the running daemon",
    u" frereadnotices <filename> [config] - reread the access info messages list from the <filename> file for the running daemon",
    u" drereadall [config] - reread all default lists for the running daemon",
    u" mute <clientid> <network> [config] - mute the client <clientid> on the room <network>",
    u" mutetemp <time> <clientid> <network> [config] - temporary mute the client <clientid> on the room <network> on the time <time>",
    u" unmute <clientid> <network> [config] - unmute the client <clientid> on the room <network>",
    u" block <clientid> <network> [config] - block the client <clientid> on the room <network>",
    u" blocktemp <time> <clientid> <network> [config] - temporary block the client <clientid> on the room <network> on the time <time>",
    u" unblock <clientid> <network> [config] - unblock the client <clientid> on the room <network>",
    u" adminadd <clientid> <network>  [config] - add the client <clientid> to the administrators of the room <network>",
    u" admindel <clientid> <network> [config] - delete client <clientid> from the administrators of the room <network>",
    u" rightadd <email> <network> [config] - add client <email> to the access list for the room <network>",
    u" rightdel <email> <network> [config] - remove client <email> from the access list for the room <network>",
    u" rightmark <email> <network> [config] - mark client <email> in the access list for the room <network>",
    u" rightunmark <email> <network> [config] - unmark client <email> in the access list for the room <network>",
    u" connenable <network> [config] - allow connections only to marked clients from the access list for the room <network>",
    u" conndisable <network> [config] - deny connections only to marked clients from the access list for the room <network>",
    u" talkenable <network> [config] - allow only marked clients from the room <network> access list to speak",
    u" talkdisable <network> [config] - deny only marked clients from the room <network> access list to speak",
    u" noticeset \"access info\" <network> [config] - set access info message \"access info\" for the room <network>",
    u" noticeclear <network> [config] - delete access info message for the room <network>",
    u" move <clientid> <netfrom> <netto> [config] - move the client <clientid> from the network(room) <netfrom> to the network(room) <netto>",
    u" movetemp <time> <clientid> <netfrom> <netto> [config] - temporary move the client from the network(room) <netfrom> to the network(room) <netto> for the time <time>",
    u" disconnectall [config] - disconnect all clients from the whole server",
    u" disconnectnet <network> [config] - disconnect all clients from the network(room) <network>",
    u" disconnectclient <clientid> <network> [config] - disconnect the client <clientid> from the network(room) <network>",
    u" disconnectmanidx <manager_index> [config] - disconnect from manager <manager_index>",
    u" dservmanmode <manager_mode> [config] - set manager mode for whole running server",
    u" dnetmanmode <manager_mode> <network> [config] - set manager mode for the network(room) <network> on the running server",
    u" threads [config] - number of client connections on worker threads",
    u" flushdata [config] - flush all lists into data files",
    u" logtext \"text to log\" [config] - write any text to log file",
    u" setloglevel <loglevel> [config] - set log level for the client connections",
    u" setloglevelnet <loglevel> <network> [config] - set log level for the client connections on the network(room) <network>",
    u" setparameter <section> <parameter> \"new text value\" [config] - set \"new text value\" for <parameter> in <section>",
    u" clearparameter <section> <parameter> [config] - clear <parameter> in <section>",
    u" deleteparameter <section> <parameter> [config] - delete <parameter> from <section>",
    u" getparameter <section> <parameter> [config] - get text value of <parameter> from <section>",
    u" charsets - list of charsets supported by your MS Windows",
    u" qorcharset, ansi - name of MS Windows default ANSI encoding used as QOR ANSI charset name",
    u" servercharset [config] - show QORServer ANSI charset name",
    u" clientid <email> - calculate Kelvoran ID for <email>",
};

void WriteRaw(std::FILE* aFile, const std::string& aBytes) {
    std::fwrite(aBytes.data(), 1, aBytes.size(), aFile);
}
// Lines in the system's default 8-bit set (the help and version texts are ASCII).
void WriteAnsiLine(std::FILE* aFile, std::u16string_view aText) {
    WriteRaw(aFile, UnicodeToSysAnsiStr(aText) + "\r\n");
}
// Error lines in the console ("OEM") set.
void WriteOemLine(std::FILE* aFile, std::u16string_view aText) {
    WriteRaw(aFile, UnicodeToOemStr(aText) + "\r\n");
    std::fflush(aFile);
}

std::u16string ProgramName() {
    return ExtractFileName(GetProgramFileName());
}

void PrintCommandLineError(std::u16string_view aError) {
    WriteOemLine(stderr, kVersionLine);
    if (aError.empty())
        WriteOemLine(stderr, u"ERROR: wrong command or flags or parameters");
    else
        WriteOemLine(stderr, u"ERROR: wrong command or flags or parameters: " + std::u16string(aError));
    WriteOemLine(stderr, u"Command line format:");
    WriteOemLine(stderr, u"  " + ProgramName() + u" [flags ...] [command [parameters ...]]");
    WriteOemLine(stderr, u"Use \"help\" command for full help");
}

void PrintBanner(std::u16string_view aTitle, std::u16string_view aSitePrefix) {
    if (!aTitle.empty()) WriteAnsiLine(stdout, aTitle);
    WriteAnsiLine(stdout, std::u16string(aSitePrefix) + std::u16string(kSite));
    WriteAnsiLine(stdout, u"Origin: " + std::u16string(kOrigin));
    WriteAnsiLine(stdout, u"E-Mail: " + std::u16string(kEMail));
}

void PrintHelp() {
    PrintBanner(kVersionLine, u"Site: ");
    WriteAnsiLine(stdout, kHelpTitle);
    WriteAnsiLine(stdout, u"Command line format:");
    WriteAnsiLine(stdout, u"  " + ProgramName() + u" [flags ...] [command [parameters ...]]");
    WriteAnsiLine(stdout, u"Flags:");
    for (std::u16string_view l : kHelpFlags) WriteAnsiLine(stdout, l);
    WriteAnsiLine(stdout, u"Commands:");
    for (std::u16string_view l : kHelpCommands) WriteAnsiLine(stdout, l);
    std::fflush(stdout);
}

std::u16string Widen(const std::string& aAscii) {
    return std::u16string(aAscii.begin(), aAscii.end());
}

std::u16string SystemCharsetNameFor(TQORConsoleCharset aCharset) {
    switch (aCharset) {
        case ccs_UTF8: return u"UTF-8";
        case ccs_ANSI: return Widen(DefaultAnsiCharsetName());
        default: return Widen(DefaultOemCharsetName());
    }
}

void PrintCharsetInfo(TQORConsoleCharset aCharset, const TCharsetsCodeList* aCodeList) {
    TLangInfoArray langs;
    EnumMLangCodePages(langs);
    TQORLogOutput out(stdout);
    try {
        out.SetConsoleCharset(SystemCharsetNameFor(aCharset), aCodeList);
    } catch (const Exception&) {
        // The default 8-bit set still lists the names.
    }
    for (const TLangInfo& li : langs) {
        std::u16string line = u" - " + li.li_Charset;
        if (!li.li_Description.empty()) line += u" / " + li.li_Description;
        out.WriteConsoleLine(line);
    }
    const int ansi = FindLangInfoByCodePage(langs, DefaultAnsiCodePage());
    if (ansi >= 0)
        out.WriteConsoleLine(u"Default Windows ANSI charset name: " + langs[size_t(ansi)].li_Charset);
}

// The server of run and debug: its log goes through the program's output
// (the log file or standard output), stamped, in the console character set.
// Main thread only (the service's synchronous calls).
class TMyRunner final : public TQORServiceRunner {
  public:
    TMyRunner(const TQORServiceConfig& aConfig, TQORLogOutput& aOutput)
        : TQORServiceRunner(aConfig), e_Output(aOutput) {}
    void InfoMessage(std::u16string_view aInfo) override { e_Output.InfoMessage(aInfo); }
    void InfoFlush() override { e_Output.InfoFlush(); }
    void ReopenLogFile() override { e_Output.ReopenLogFile(); }

  private:
    TQORLogOutput& e_Output;
};

std::u16string PortText(int32_t aPort) {
    return Widen(std::to_string(aPort));
}

// Start-up notes, the server, its bindings, and the wait for its stop.
int RunServer(bool aDebug, TQORServiceConfig& config, const TQORServiceNetOptions& aNetOpts,
              const std::u16string& aNetworksFile, const std::u16string& aLogFile,
              TQORLogOutput& console, const TCharsetsCodeList* aCodeList) {
    // The networks file must be there and sound before anything is started:
    // a typo in its name must not start a server with other rooms. A file
    // without a network still gives the built-in set.
    VerifyNetworksListFile(aNetOpts, aNetworksFile, aCodeList);
    if (!aDebug) console.OpenLogFile(aLogFile);

    console.WriteConsoleLine(kVersionLine);
    console.WriteConsoleLine(u"Site: http://" + std::u16string(kSite));
    console.WriteConsoleLine(u"Origin: " + std::u16string(kOrigin));
    console.WriteConsoleLine(u"E-Mail: " + std::u16string(kEMail));
    if (config.cfg_ClientIPVersion != ipver_4 && !config.cfg_SystemSupportsIP6) {
        config.cfg_ClientIPVersion = ipver_4;
        console.WriteConsoleLine(u"WARNING: IPv6 is not supported by the system; switching to IPv4 only");
    }
    CheckManagerSections(config, [&](std::u16string_view l) { console.WriteConsoleLine(l); });
    bool anyManager = false;
    for (const TQORSvcSysmanParams& m : config.ManagerParams) anyManager |= m.ssmp_ManagerEnabled;
    if (!anyManager && config.cfg_ServManagerMode != smm_Standalone) {
        console.WriteConsoleLine(u"WARNING: No active managers for server, switching to mode: STANDALONE");
        config.cfg_ServManagerMode = smm_Standalone;
    }
    console.WriteConsoleLine(u"INFO: Server-wide QOR-System-Manager mode: " +
                             std::u16string(QORSystemManagerModeNames[config.cfg_ServManagerMode & 3]));
    if (config.cfg_ServManagerMode != smm_Standalone) {
        for (size_t i = 0; i < config.ManagerParams.size(); ++i) {
            const TQORSvcSysmanParams& m = config.ManagerParams[i];
            if (!m.ssmp_ManagerEnabled) continue;
            console.WriteConsoleLine(u"INFO: QOR-System-Manager[" + Widen(std::to_string(i)) + u"]: " +
                                     FormatHostPort(m.ManagerAddress, PortText(m.ManagerPort)));
        }
    }

    // Every thread made from here on inherits the blocked stop and reopen-log
    // signals: only the signal thread takes them.
    const int reopenSignal = SignalOfReopenLog(config.cfg_SystemReopenLogSignal);
    BlockStopSignals(reopenSignal);
    TMyRunner runner(config, console);
    runner.SetCharsetsCodeList(aCodeList);
    runner.SetConfigFileName(u"server.ini");
    runner.SetLogClientLevel(config.SystemLogClientLevel);
    runner.SetClientHandshakeTimeout(config.ClientHandshakeTimeout);
    runner.SetClientActivityTimeout(config.ClientActivityTimeout);
    runner.SetServMaxSpeechTime(config.cfg_ServMaxSpeechTime);
    runner.SetServSpeechPauseTicks(config.cfg_ServSpeechPauseTicks);
    runner.SetServQuarantineTicks(config.cfg_ServQuarantineTicks);
    runner.SetServMaxWaitConnections(config.ServMaxWaitConnections);
    runner.SetCommandContextFactory(MakeCommandContext);
    runner.SetManagerFactory([](TQORSvcSysManHost& aHost, int32_t aIndex,
                                const TQORSvcSysmanParams& aParams) {
        return std::unique_ptr<TQORSVCManagerThread>(
            std::make_unique<TQORSvcSysMan>(aHost, aIndex, aParams));
    });
    // Loaded before any thread runs: should the file have turned bad since
    // the check, the program ends with nothing to stop.
    runner.LoadNetworks(aNetOpts, aNetworksFile);
    TQORSignalThread signals(runner, reopenSignal);
    signals.Start();
    runner.Start();

    const TQORCommandChannelParams& cmd = config.cmd_channel;
    if (cmd.cfg_CmdEnabled && cmd.cfg_CmdPort != 0)
        runner.AddPortForLocalhost(
            u"Command", PortText(cmd.cfg_CmdPort), cmd.cfg_CmdIPVersion,
            [&runner](TSocket s, const std::string& a, int p, const std::string&, int,
                      const std::u16string&) { runner.evnt_Listener_CommandAcceptPeer(s, a, p); });
    for (const TQORServiceListenerPortRecord& r : config.ListenServerPorts)
        runner.AddPortForAny(
            u"Client", r.fslpr_Port,
            config.cfg_SystemSupportsIP6 ? r.fslpr_IpVer : ipver_4,
            [&runner](TSocket s, const std::string& a, int p, const std::string&, int,
                      const std::u16string&) { runner.evnt_Listener_ClientAcceptPeer(s, a, p); });
    runner.StartService();
    runner.RunMainThread();
    signals.Stop();

    std::u16string line;
    while (runner.GetFifo(line)) console.WriteConsoleLine(line);
    console.WriteAbortedLine(runner.AbortMessageText());
    return 0;
}

int Dispatch(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOFBF, kLogOutputBufferSize);
    const std::unique_ptr<TCharsetsCodeList> codeList = CreateCharsetsCodeList();

    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.push_back(SysToFileName(argv[i]));
    int32_t argCount = 0;
    TQORSVCCommandLineOptions opts;
    C command = C::none;
    TQORSVCCommandRule rule;
    if (!ParseCommandLine(args, argCount, opts, command, rule)) {
        PrintCommandLineError(opts.sclo_ErrorText);
        return 1;
    }
    if (command == C::none) {
        PrintCommandLineError(u"");
        return 1;
    }
    if (command == C::help) {
        PrintHelp();
        return 0;
    }
    if (command == C::version) {
        PrintBanner(kVersionLine, u"Site: ");
        std::fflush(stdout);
        return 0;
    }
    if (command == C::clientid) {
        WriteRaw(stdout, MakeSourceId(UnicodeToSysAnsiStr(opts.sclo_Par2)) + "\r\n");
        std::fflush(stdout);
        return 0;
    }
    try {
        TAnsiUnicodeConverter utf8;
        utf8.SetCharsetsCodeList(codeList.get());
        utf8.SetCharsetName(u"UTF-8");
    } catch (const Exception&) {
        WriteOemLine(stderr, u"ERROR: Your operating system does not support UTF-8 charset encoding");
        return 3;
    }
    switch (command) {
        case C::charsets:
            if (codeList->Count() == 0) {
                WriteAnsiLine(stdout, u"WARNING: MLang charset names list is empty");
                std::fflush(stdout);
            } else {
                PrintCharsetInfo(opts.sclo_Charset, codeList.get());
            }
            return 0;
        case C::ansi:
        case C::oem: {
            const bool ansi = command == C::ansi;
            const std::string& name = ansi ? DefaultAnsiCharsetName() : DefaultOemCharsetName();
            if (!name.empty())
                WriteAnsiLine(stdout, Widen(name));
            else
                WriteAnsiLine(stdout, std::u16string(ansi ? u"No ANSI" : u"No OEM") +
                                          u" charset name detected, just the code: " +
                                          Widen(std::to_string(ansi ? DefaultAnsiCodePage()
                                                                    : DefaultOemCodePage())));
            std::fflush(stdout);
            return 0;
        }
        default: break;
    }

    // Configuration file: relative names are taken from the program's directory.
    TQORServiceConfig config;
    config.SystemCharsetName = Widen(DefaultOemCharsetName());
    std::u16string configFile;
    if (rule.ConfigPos != 0) {
        configFile = ResolvePathRelative(opts.sclo_ConfigFileNameU, GetProgramDirectory());
        if (!FileExists(configFile)) {
            if (rule.MayCreate) {
                // Not readable by others: the file may soon hold manager passwords.
                int fd = -1;
                if (int rc = plat::CreateExclusive(FileNameToSys(configFile), fd, 0640); rc != 0)
                    RaiseFileError(rc, configFile);
                plat::Close(fd);
            } else {
                WriteOemLine(stderr, u"ERROR: Configuration file not found: \"" + configFile + u"\"");
                return 2;
            }
        }
        if (!rule.NotParsed) ReadServiceConfigFile(config, configFile, codeList.get());
        if (rule.Channel && !config.cmd_channel.cfg_CmdEnabled) {
            WriteOemLine(stderr, u"ERROR: Command channel is not enabled with configuration file \"" +
                                     configFile + u"\"");
            return 2;
        }
    }

    TQORConsoleOutput output;
    output.CodeList = codeList.get();
    output.SystemCharset = config.SystemCharsetName;
    output.ConsoleCharset = ConsoleCharsetName(opts.sclo_Charset, config.SystemCharsetName);

    TQORChannelRequest probe;
    if (BuildChannelRequest(command, opts, probe))
        return RunChannelCommand(command, opts, config.cmd_channel, output);
    if (IsParameterCommand(command))
        return RunParameterCommand(command, opts, configFile, config, output.ConsoleCharset,
                                   codeList.get(), stdout, stderr);

    // The run branch: path queries, then starting the server.
    TQORLogOutput console(stdout);
    console.SetConsoleCharset(output.ConsoleCharset, codeList.get());
    const std::u16string exeDir = GetProgramDirectory();
    const std::u16string logFile = ResolveFileSettingDef(config.LogFile, u"qorserver.log", exeDir);
    auto dataFile = [&](const std::u16string& aName) {
        return ResolveDataFileName(config.cfg_DataDirName, aName);
    };
    switch (command) {
        case C::logfilename: console.WriteConsoleLine(logFile); return 0;
        case C::mutesfilename: console.WriteConsoleLine(dataFile(config.cfg_MutesFileName)); return 0;
        case C::blocksfilename: console.WriteConsoleLine(dataFile(config.cfg_BlocksFileName)); return 0;
        case C::adminsfilename: console.WriteConsoleLine(dataFile(config.cfg_AdminsFileName)); return 0;
        case C::rightsfilename: console.WriteConsoleLine(dataFile(config.cfg_RightsFileName)); return 0;
        case C::modesfilename: console.WriteConsoleLine(dataFile(config.cfg_ModesFileName)); return 0;
        case C::noticesfilename:
            console.WriteConsoleLine(dataFile(config.cfg_NoticesFileName));
            return 0;
        case C::servercharset: console.WriteConsoleLine(config.cfg_QORServerCharsetName); return 0;
        case C::run:
        case C::debug: {
            TQORServiceNetOptions netOpts;
            FillServiceNetOptionsFromConfig(netOpts, config);
            const std::u16string netFile = ResolvePathRelative(config.cfg_NetworksFileName, exeDir);
            // Once run has opened its log file, an error belongs there.
            try {
                return RunServer(command == C::debug, config, netOpts, netFile, logFile, console,
                                 codeList.get());
            } catch (const Exception& e) {
                console.WriteErrorLine(u"ERROR: " + e.Message());
            } catch (const std::exception& e) {
                console.WriteErrorLine(u"ERROR: " + Widen(e.what()));
            }
            return 3;
        }
        default: break;
    }
    throw Exception(std::string_view("Command without an action"));
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A server that closes a command connection early must not kill the console.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Dispatch(argc, argv);
    } catch (const Exception& e) {
        WriteOemLine(stdout, u"ERROR: " + e.Message());
    } catch (const std::exception& e) {
        WriteOemLine(stdout, u"ERROR: " + Widen(e.what()));
    }
    return 3;
}
