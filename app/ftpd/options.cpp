#include "app/ftpd/options.h"

#include <charconv>
#include <functional>
#include <string_view>

#include "settings/passive_ports.h"
#include "settings/settings_store.h"

namespace {

bool ParseNumber(std::string_view text, int low, int high, int& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

// The FTPS options; false when `name` is none of them.
bool ParseTlsOption(std::string_view name, const std::function<bool(std::string&)>& value,
                    FtpdOptions& options, std::string& error)
{
    std::string text;
    if (name == "--tls-legacy") {
        options.tlsLegacy = true;
    } else if (name == "--tls") {
        int mode = kTlsOff;
        if (value(text) && !ParseTlsMode(text, mode))
            error = "--tls takes off, offered or required: " + text;
        options.tlsMode = mode;
    } else if (name == "--tls-cert" || name == "--tls-key") {
        if (value(text))
            (name == "--tls-cert" ? options.tlsCert : options.tlsKey) = text;
    } else {
        return false;
    }
    return true;
}

bool CheckTlsOptions(const FtpdOptions& options, std::string& error)
{
    if (options.tlsCert.has_value() != options.tlsKey.has_value()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    return true;
}

}  // namespace

const char* FtpdUsage()
{
    return "usage: lumbra-ftpd [--bind ADDR] [--port N] [--home DIR]\n"
           "                   [--anonymous | --user NAME --password-file FILE]\n"
           "                   [--timeout MINUTES] [--plain-scan | --no-plain-scan]\n"
           "                   [--passive-ports LOW-HIGH | --passive-ports off]\n"
           "                   [--tls off|offered|required] [--tls-legacy]\n"
           "                   [--tls-cert FILE --tls-key FILE]\n"
           "       lumbra-ftpd --save [the same options] [--auto-start on|off]\n"
           "       lumbra-ftpd --help | --version\n"
           "The stored settings are served; options override single settings.\n"
           "--timeout: idle minutes before a silent client is cut off, 5 to 300.\n"
           "--save stores the stored settings changed by the options instead of serving;\n"
           "with --user and no --password-file it reads the password from standard input\n"
           "(asking for it, unshown, at a terminal). A password may not be empty.\n"
           "--auto-start: whether the desktop program starts at logon and serves at once.\n"
           "--passive-ports: the data ports offered to PASV/EPSV (1024-65535), so that a\n"
           "firewall can open them; off lets the system choose.\n"
           "--tls: FTPS (AUTH TLS) offered to clients or required of them; the certificate\n"
           "is generated beside the settings unless --tls-cert/--tls-key name one's own.\n"
           "--tls-legacy also accepts TLS 1.0 and 1.1, for old devices.\n";
}

std::string FtpdVersion()
{
    return std::string("lumbra-ftpd ") + LUMBRA_VERSION + "\n";
}

bool ParseFtpdOptions(int argc, char** argv, FtpdOptions& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (ParseTlsOption(name, value, options, error)) {
            if (!error.empty())
                return false;
        } else if (name == "--anonymous") {
            options.anonymous = true;
        } else if (name == "--plain-scan") {
            options.plainScan = true;
        } else if (name == "--no-plain-scan") {
            options.plainScan = false;
        } else if (name == "--auto-start") {
            if (!value(text))
                return false;
            if (text != "on" && text != "off") {
                error = "--auto-start takes on or off";
                return false;
            }
            options.autoStart = text == "on";
        } else if (name == "--save") {
            options.save = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--bind") {
            if (!value(text))
                return false;
            options.bindAddress = text;
        } else if (name == "--home") {
            if (!value(text))
                return false;
            if (text.empty()) {
                error = "--home needs a folder";
                return false;
            }
            options.homePath = text;
        } else if (name == "--passive-ports") {
            if (!value(text))
                return false;
            PortRange range;
            if (text != "off" && !ParsePortRange(text, range)) {
                error = "--passive-ports takes LOW-HIGH (1024 to 65535) or off: " + text;
                return false;
            }
            options.passivePorts = range;
        } else if (name == "--user") {
            if (!value(text))
                return false;
            options.user = text;
        } else if (name == "--password-file") {
            if (!value(text))
                return false;
            options.passwordFile = text;
        } else if (name == "--port" || name == "--timeout") {
            if (!value(text))
                return false;
            int number = 0;
            const bool port = name == "--port";
            // The time-outs the network dialog accepts, and no others.
            if (!ParseNumber(text, port ? 0 : kShortestTimeout, port ? 65535 : kLongestTimeout, number)) {
                error = "bad value for " + std::string(name) + ": " + text;
                if (!port)
                    error += " (" + std::to_string(kShortestTimeout) + " to " + std::to_string(kLongestTimeout) +
                             " minutes)";
                return false;
            }
            (port ? options.port : options.timeout) = number;
        } else {
            error = "unknown option: " + std::string(name);
            return false;
        }
    }
    if (options.anonymous && options.user) {
        error = "--anonymous and --user exclude each other";
        return false;
    }
    if (options.user && !options.passwordFile && !options.save) {
        error = "--user and --password-file go together";
        return false;
    }
    if (options.autoStart && !options.save) {
        error = "--auto-start goes with --save";
        return false;
    }
    if (options.passwordFile && !options.user) {
        error = "--password-file goes with --user";
        return false;
    }
    if (!CheckTlsOptions(options, error))
        return false;
    if (options.user && options.user->empty()) {
        error = "--user needs a name";
        return false;
    }
    return true;
}
