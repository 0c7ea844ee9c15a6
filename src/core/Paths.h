// Path pieces as the program splits them: a path's directory ends at its last
// backslash or colon, whichever comes later.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vrln::core {

// Whether a byte opens a double-byte character in the ANSI code page (on
// Windows IsDBCSLeadByte). Its next byte belongs to the same character: in
// code pages 932, 936, 949 and 950 that byte can be 0x5C, a backslash. Empty:
// a single-byte code page.
using LeadByteTest = std::function<bool(unsigned char)>;

// Everything up to and including the last backslash or colon; empty when there is none.
std::string DirectoryPart(std::string_view path, const LeadByteTest& isLeadByte = nullptr);
// What follows the last backslash or colon (the whole path when there is none).
std::string FileNamePart(std::string_view path, const LeadByteTest& isLeadByte = nullptr);
// The position of the last backslash that is a character of its own; npos when there is none.
std::size_t LastBackslashOf(std::string_view path, const LeadByteTest& isLeadByte = nullptr);
// Whether the path names its drive ("C:\...") or its server ("\\server\...").
// Any other path is looked up against the current folder, and a program named
// by it against the program's folder and PATH too, where anything may lie.
bool IsAbsolutePath(std::string_view path);
// "APPLICATION-" + name with every backslash made an underscore. The caller
// upper-cases the result by the locale's ANSI rule (CharUpperBuffA).
std::string InstanceMutexBaseName(std::string_view programName);
// The home page of the web whose web file is named on a webs.dat line.
std::string HomePageOf(std::string_view webFileLine, const LeadByteTest& isLeadByte = nullptr);

}  // namespace vrln::core
