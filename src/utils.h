// Small shell and file helpers shared by the whole tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads one little-endian 32-bit word written as four hex byte tokens.
// Returns 4 when a word was read, -1 when the input ended before its first number.
int hex_file_read32(FILE* stream, unsigned int* word);
// True when access(path, F_OK) succeeds.
bool is_file_exist(std::string path);
// Runs command through the shell and collects its standard output into buffer
// (size bytes, always terminated when anything was printed). Null when the
// command cannot be started.
char* cmd_result(const char* command, char* buffer, int size);
// The same, and exit_code receives the command's exit status, or -1 when it
// did not end by itself (killed by a signal) or its status could not be had.
// False, with nothing written, when the command cannot be started.
bool cmd_result_status(const char* command, char* buffer, int size, int& exit_code);
// Runs command and assigns its whole standard output to output; returns a copy.
std::string cmd_result(const std::string& command, std::string& output);
// Name of the installed version directory under /var/lib/dkms/nudra/, or empty.
std::string dkms_get_nudra_version();

bool is_dir_exist(const char* path);
bool get_valid_select(std::vector<unsigned int> choices, unsigned int& out);
uint32_t get_bdf(std::string bdf);
std::string get_current_dir();
std::vector<std::string> split(std::string text, char delimiter);
std::string whichBinary(std::string name);
int remove_brenvoda_from_blacklist();
bool char_arr_contains(const char* text, const char* part);
