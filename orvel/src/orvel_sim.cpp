// orvel-sim: sets up a served-product environment in a folder, for the demo, the end-to-end tests
// and the benchmarks.
//
//   orvel-sim --root DIR [--version MAJOR.MINOR] [--build MAJOR.MINOR] [--library PATH]
//             [--no-components]
//
// Leaves DIR/registry.reg (point SORVIK_REGISTRY at it) and the logging folder DIR/logs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Options {
    fs::path root;
    unsigned major = 4, minor = 0, buildMajor = 1, buildMinor = 52;
    fs::path library;
    bool components = true;
};

[[noreturn]] void usage(const std::string &problem)
{
    std::cerr << "orvel-sim: " << problem << "\n"
              << "usage: orvel-sim --root DIR [--version MAJOR.MINOR] [--build MAJOR.MINOR]\n"
                 "                 [--library PATH] [--no-components]\n";
    std::exit(2);
}

bool parsePair(const std::string &text, unsigned &first, unsigned &second)
{
    unsigned a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u%c", &a, &b, &tail) != 2)
        return false;
    first = a;
    second = b;
    return true;
}

// The product writes each decimal digit of a version part as one hexadecimal digit.
unsigned digitsAsHex(unsigned decimal)
{
    unsigned result = 0, shift = 0;
    do {
        result |= (decimal % 10) << shift;
        decimal /= 10;
        shift += 4;
    } while (decimal && shift < 16);
    return result;
}

std::string regString(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

std::string hex8(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

fs::path ownFolder()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

Options parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--root")
            options.root = value();
        else if (arg == "--version") {
            if (!parsePair(value(), options.major, options.minor) || options.major > 9999 ||
                options.minor > 9999)
                usage("--version takes MAJOR.MINOR, each at most 9999");
        } else if (arg == "--build") {
            if (!parsePair(value(), options.buildMajor, options.buildMinor) ||
                options.buildMajor > 9999 || options.buildMinor > 0xFFFF)
                usage("--build takes MAJOR.MINOR");
        } else if (arg == "--library")
            options.library = value();
        else if (arg == "--no-components")
            options.components = false;
        else
            usage("unknown argument " + arg);
    }
    if (options.root.empty())
        usage("--root is required");
    if (options.library.empty())
        options.library = ownFolder() / "libOrvelComponents.so";
    return options;
}

void writeRegistry(const Options &options, const fs::path &logs)
{
    std::ofstream out(options.root / "registry.reg", std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n";
    if (options.components) {
        const std::string library = regString(fs::absolute(options.library).string());
        for (const char *clsid :
             {"{60EB7702-6A7A-11D1-8029-00C04FAD610B}", "{CA877C14-DCEE-459B-89B7-7A9E841558D5}"})
            out << "[HKEY_CLASSES_ROOT\\CLSID\\" << clsid << "\\InprocServer32]\r\n@=" << library
                << "\r\n\r\n";
    }
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
        << "\"Output Path\"=" << regString(fs::absolute(logs).string()) << "\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
        << "\"Version Number\"=dword:"
        << hex8(digitsAsHex(options.major) << 16 | digitsAsHex(options.minor)) << "\r\n"
        << "\"Build Number\"=dword:"
        << hex8(digitsAsHex(options.buildMajor) << 16 | (options.buildMinor & 0xFFFF)) << "\r\n";
    if (!out.flush())
        throw std::runtime_error("cannot write " + (options.root / "registry.reg").string());
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    try {
        fs::create_directories(options.root);
        const fs::path logs = options.root / "logs";
        fs::create_directories(logs);
        writeRegistry(options, logs);
        std::cout << fs::absolute(options.root / "registry.reg").string() << "\n";
    } catch (const std::exception &e) {
        std::cerr << "orvel-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
