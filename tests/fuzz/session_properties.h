// The properties every fuzzed session must keep, shared by the session
// fuzzers: a broken one aborts with what broke.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline void Require(bool condition, const std::string& what)
{
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what.c_str());
        std::abort();
    }
}

// Every reply line: three digits and a space or a dash, or inside a
// multi-line reply (FEAT) any text until the line with its code and a space;
// no bare CR or LF anywhere.
inline void RequireWellFormedReplies(const std::string& replies)
{
    std::string openCode;  // of the multi-line reply under way
    for (size_t start = 0, end; start < replies.size(); start = end + 2) {
        end = replies.find("\r\n", start);
        Require(end != std::string::npos, "a reply without its CR LF");
        const std::string line = replies.substr(start, end - start);
        Require(line.find_first_of("\r\n") == std::string::npos, "a bare CR or LF in: " + line);
        const bool coded = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                           std::isdigit(static_cast<unsigned char>(line[1])) &&
                           std::isdigit(static_cast<unsigned char>(line[2])) && (line[3] == ' ' || line[3] == '-');
        Require(coded || !openCode.empty(), "a malformed reply line: " + line);
        if (openCode.empty() && line[3] == '-')
            openCode = line.substr(0, 3);
        else if (coded && line[3] == ' ' && line.compare(0, 3, openCode) == 0)
            openCode.clear();
    }
    Require(openCode.empty(), "a multi-line reply without its last line");
}

// `tree` holds the home folder and an empty neighbour, and nothing else.
inline void RequireNothingOutside(const std::filesystem::path& tree, const std::filesystem::path& home)
{
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(tree)) {
        ++entries;
        Require(entry.path() == home || entry.path() == tree / "outside",
                "something appeared beside the home folder: " + entry.path().string());
    }
    Require(entries == 2, "the home folder or its neighbour is gone");
    Require(std::filesystem::is_empty(tree / "outside"), "something appeared outside the home folder");
}
