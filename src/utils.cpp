// Small shell and file helpers shared by the whole tool.
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

#include <libgen.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int hex_file_read32(FILE* stream, unsigned int* word)
{
    // Numbers that do not convert (a short tail, or a stray character) count as 0.
    unsigned int b[4] = {0, 0, 0, 0};
    int converted = fscanf(stream, "%x%x%x%x", &b[0], &b[1], &b[2], &b[3]);
    if (converted == EOF)
        return -1;
    fgetc(stream);
    *word = (b[0] & 0xff) | ((b[1] & 0xff) << 8) | ((b[2] & 0xff) << 16) | ((b[3] & 0xffu) << 24);
    return 4;
}

bool is_file_exist(std::string path) { return access(path.c_str(), F_OK) == 0; }

namespace {

// Reads a started command's output into buffer as the character-buffer form
// of cmd_result does, then waits for the command; its wait status.
int collect_output(FILE* pipe, char* buffer, int size)
{
    char piece[256];
    long total = 0;
    while (fgets(piece, sizeof(piece), pipe) != nullptr) {
        long len = static_cast<long>(strlen(piece));
        if (total + len >= size) {
            buffer[total] = '\0';
            break;
        }
        memcpy(buffer + total, piece, static_cast<size_t>(len) + 1);
        total += len;
    }
    return pclose(pipe);
}

} // namespace

char* cmd_result(const char* command, char* buffer, int size)
{
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return nullptr;
    collect_output(pipe, buffer, size);
    return buffer;
}

bool cmd_result_status(const char* command, char* buffer, int size, int& exit_code)
{
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return false;
    int status = collect_output(pipe, buffer, size);
    exit_code = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return true;
}

std::string cmd_result(const std::string& command, std::string& output)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return std::string();
    std::string collected;
    char piece[256];
    while (fgets(piece, sizeof(piece), pipe) != nullptr)
        collected.append(piece);
    output = collected;
    pclose(pipe);
    return output;
}

std::string dkms_get_nudra_version()
{
    const char* tree = "/var/lib/dkms/nudra/";
    std::error_code ec;
    if (!std::filesystem::is_directory(tree, ec))
        return std::string();
    for (std::filesystem::directory_iterator it(tree, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind_ec;
        if (!it->is_directory(kind_ec))
            continue;
        std::string name = it->path().filename().string();
        bool version_like = !name.empty();
        for (char c : name) {
            if (!((c >= '0' && c <= '9') || c == '.' || c == '/')) {
                version_like = false;
                break;
            }
        }
        if (version_like)
            return name;
    }
    return std::string();
}

bool is_dir_exist(const char* path)
{
    struct stat info;
    if (lstat(path, &info) != 0)
        return false;
    return S_ISDIR(info.st_mode);
}

bool get_valid_select(std::vector<unsigned int> choices, unsigned int& out)
{
    std::string line;
    if (!std::getline(std::cin, line))
        return false;
    for (unsigned int choice : choices) {
        if (line == std::to_string(choice)) {
            out = choice;
            return true;
        }
    }
    return false;
}

uint32_t get_bdf(std::string bdf)
{
    unsigned int bus = 0, device = 0, function = 0;
    sscanf(bdf.c_str(), "%x:%x.%x", &bus, &device, &function);
    return bus * 256 + (device & 0x1f) * 8 + (function & 0x7);
}

std::string get_current_dir()
{
    char path[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (len < 0) {
        printf("Failed to get exe path.\n");
        return std::string();
    }
    path[len] = '\0';
    return std::string(dirname(path));
}

std::vector<std::string> split(std::string text, char delimiter)
{
    std::vector<std::string> pieces;
    std::istringstream stream(text);
    std::string piece;
    while (std::getline(stream, piece, delimiter))
        pieces.push_back(piece);
    return pieces;
}

std::string whichBinary(std::string name)
{
    const char* path = getenv("PATH");
    if (path == nullptr)
        return std::string();
    for (const std::string& dir : split(path, ':')) {
        if (dir.empty())
            continue;
        std::string candidate = dir + "/" + name;
        if (is_file_exist(candidate))
            return candidate;
    }
    return std::string();
}

int remove_brenvoda_from_blacklist()
{
    int ignored = system("sed -i '/brenvoda/d' /etc/modprobe.d/blacklist.conf 2> /dev/null");
    (void)ignored;
    return 0;
}

bool char_arr_contains(const char* text, const char* part) { return strstr(text, part) != nullptr; }
