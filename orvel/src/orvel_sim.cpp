// orvel-sim: sets up a served-product environment in a folder, for the demo, the end-to-end tests
// and the benchmarks. The same seed gives the same files, byte for byte.
//
// Leaves ROOT/registry.reg (point SORVIK_REGISTRY at it) and the logging folder ROOT/logs.
#include "orvel_sim.h"
#include "orvel_plant.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

const char *const usageText =
    "usage: orvel-sim --root DIR [options]\n"
    "  --version MAJOR.MINOR   served product version (4.0)\n"
    "  --build MAJOR.MINOR     build number (1.52)\n"
    "  --library PATH          components library to register (the one beside orvel-sim)\n"
    "  --no-components         register no components (the product looks stopped)\n"
    "  --no-logging-folder     name no logging folder in the registry\n"
    "  --data N                data_ files (3)\n"
    "  --diag N                diag_ files (3)\n"
    "  --other N               files that are neither (2)\n"
    "  --data-size BYTES       size of each data_ file (65536)\n"
    "  --diag-size BYTES       size of each diag_ file (65536)\n"
    "  --text-style STYLE      what the logs hold: uniform (the default: few message forms),\n"
    "                          varied (many message forms, ids, host names and numbers;\n"
    "                          deflates to about 28%), or mixed (varied text, and data_ files of\n"
    "                          packed binary records or already compressed logs)\n"
    "  --long-line BYTES       one more diag_ file holding a single record of that length\n"
    "  --long-records          every diag_ file holds, among its ordinary lines, a record past\n"
    "                          the 510 characters a readable line keeps and one past 64 KiB\n"
    "  --odd                   add the odd cases: mixed-case names, a name of exactly diag_, a\n"
    "                          3-character name, a subfolder, blank and control lines, over-long\n"
    "                          lines (some past 64 KiB, between short ones), lines that are not\n"
    "                          records\n"
    "  --plant-identifiers LIST  plant known identifiers of every kind and near-misses in a\n"
    "                          data_ and a diag_ file, a host in the registry, a file named after\n"
    "                          a host and the site's words file ROOT/obfuscate-words.txt; LIST\n"
    "                          says where each is\n"
    "  --seed N                seed of the generated content (1)\n";

[[noreturn]] void usage(const std::string &problem)
{
    std::cerr << "orvel-sim: " << problem << "\n" << usageText;
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

unsigned long long parseNumber(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || *end || text[0] == '-')
        usage(option + " takes a whole number");
    return value;
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
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--root")
            o.root = value();
        else if (arg == "--version") {
            if (!parsePair(value(), o.major, o.minor) || o.major > 9999 || o.minor > 9999)
                usage("--version takes MAJOR.MINOR, each at most 9999");
        } else if (arg == "--build") {
            if (!parsePair(value(), o.buildMajor, o.buildMinor) || o.buildMajor > 9999 ||
                o.buildMinor > 0xFFFF)
                usage("--build takes MAJOR.MINOR");
        } else if (arg == "--library")
            o.library = value();
        else if (arg == "--no-components")
            o.components = false;
        else if (arg == "--no-logging-folder")
            o.loggingFolder = false;
        else if (arg == "--data")
            o.data = parseNumber(arg, value());
        else if (arg == "--diag")
            o.diag = parseNumber(arg, value());
        else if (arg == "--other")
            o.other = parseNumber(arg, value());
        else if (arg == "--data-size")
            o.dataSize = parseNumber(arg, value());
        else if (arg == "--diag-size")
            o.diagSize = parseNumber(arg, value());
        else if (arg == "--text-style") {
            const std::string style = value();
            if (style == "uniform")
                o.textStyle = Options::TextStyle::Uniform;
            else if (style == "varied")
                o.textStyle = Options::TextStyle::Varied;
            else if (style == "mixed")
                o.textStyle = Options::TextStyle::Mixed;
            else
                usage("--text-style takes uniform, varied or mixed");
        } else if (arg == "--long-records")
            o.longRecords = true;
        else if (arg == "--long-line")
            o.longLine = parseNumber(arg, value());
        else if (arg == "--odd")
            o.odd = true;
        else if (arg == "--plant-identifiers")
            o.plantList = value();
        else if (arg == "--seed")
            o.seed = parseNumber(arg, value());
        else if (arg == "--help") {
            std::cout << usageText;
            std::exit(0);
        } else
            usage("unknown argument " + arg);
    }
    if (o.root.empty())
        usage("--root is required");
    if (o.library.empty())
        o.library = ownFolder() / "libOrvelComponents.so";
    return o;
}

void writeRegistry(const Options &o, const fs::path &logs)
{
    std::ofstream out(o.root / "registry.reg", std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n";
    if (o.components) {
        const std::string library = regString(fs::absolute(o.library).string());
        for (const char *clsid :
             {"{60EB7702-6A7A-11D1-8029-00C04FAD610B}", "{CA877C14-DCEE-459B-89B7-7A9E841558D5}"})
            out << "[HKEY_CLASSES_ROOT\\CLSID\\" << clsid << "\\InprocServer32]\r\n@=" << library
                << "\r\n\r\n";
    }
    if (o.loggingFolder)
        out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
            << "\"Output Path\"=" << regString(fs::absolute(logs).string()) << "\r\n\r\n";
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
        << "\"Version Number\"=dword:" << hex8(digitsAsHex(o.major) << 16 | digitsAsHex(o.minor))
        << "\r\n"
        << "\"Build Number\"=dword:"
        << hex8(digitsAsHex(o.buildMajor) << 16 | (o.buildMinor & 0xFFFF)) << "\r\n";
    if (!out.flush())
        throw std::runtime_error("cannot write " + (o.root / "registry.reg").string());
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    try {
        fs::create_directories(o.root);
        const fs::path logs = o.root / "logs";
        fs::create_directories(logs);
        writeRegistry(o, logs);

        writeLogs(o, logs);
        if (!o.plantList.empty())
            plantIdentifiers(o.root, logs, o.plantList);
        std::cout << fs::absolute(o.root / "registry.reg").string() << "\n";
    } catch (const std::exception &e) {
        std::cerr << "orvel-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
