#pragma once

// Builds what the updater consumes: from a source folder holding one folder
// per update type ("dev", "partner", "patch", "install"), the project folder
// of a configuration server: one ZIP package per type, each with its one
// top-level folder named like the type, and the descriptor configinfo.xml.

#include <map>
#include <stdexcept>
#include <string>

namespace qbpublish {

// How the descriptor names the packages.
enum class TUrlStyle {
    Relative,  // "dev.zip", relative to the project folder
    Marker,    // "#QBCONFIGDIR#dev.zip"
};

struct TTypeOptions {
    std::string Password;   // traditional ZIP encryption when not empty
    std::string ToRun;      // follow-up program, relative to the package's target
    std::string RunParams;  // its parameters
};

struct TPublishOptions {
    std::string SourceDir;  // holds the type folders
    std::string OutDir;     // receives the packages and configinfo.xml (created)
    std::string Date;       // the publication stamp of every package
    TUrlStyle UrlStyle = TUrlStyle::Relative;
    std::map<std::string, TTypeOptions> Types;  // per-type settings (optional)
    // PKCS#8 PEM of an Ed25519 key: when set, the descriptor gets a
    // "published" time and configinfo.xml.sig its signature. Each type
    // always names its package's "sha256" and "size".
    std::string SignKeyPem;
    // The "published" time, YYYY-MM-DDTHH:MM:SSZ (UTC); now when empty.
    std::string Published;
};

// A refused input, with a message for the publisher.
class EPublishError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Publishes every type folder found in SourceDir. Raises EPublishError for a
// folder that is not one of the four types, a source without any type
// folder, a type folder that is empty, a symbolic link in a package (the
// updater never creates links), settings for a type that has no folder, or a
// package that cannot be written. Unix permissions and modification times
// are stored, so follow-up programs stay executable.
// Returns the types published, in the updater's order.
std::string Publish(const TPublishOptions& options);

// The stamp "YYYYMMDDhhmmss" of the current time (UTC).
std::string CurrentDateStamp();

// The current time as YYYY-MM-DDTHH:MM:SSZ.
std::string CurrentPublishedTime();

// Writes a new Ed25519 key to keyFile as PKCS#8 PEM, mode 0600, never over an
// existing file (EPublishError), and returns its public key in base64.
std::string GenerateSigningKey(const std::string& keyFile);

// The base64 public key of the Ed25519 key in keyFile (EPublishError when it
// holds none).
std::string ReadSigningKey(const std::string& keyFile, std::string& pem);

}  // namespace qbpublish
