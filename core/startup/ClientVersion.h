#pragma once

// The identity of this build of the program, kept in one place: the build
// number names the staged installer, and version and platform travel with
// crash reports and server queries.
namespace ClientVersion {

constexpr int Build = 1021;
constexpr char Version[] = "1.0021";
constexpr char Platform[] = "linux";
constexpr char Product[] = "Wivora";

} // namespace ClientVersion
