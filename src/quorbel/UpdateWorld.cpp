#include "quorbel/UpdateWorld.h"

#include <thread>

#include "common/base/KmException.h"
#include "common/files/Dir.h"
#include "common/registry/KmRegistry.h"
#include "common/web/KmWeb.h"
#include "quorbel/Product.h"

namespace qb {
namespace {

class TRealFetcher : public IFetcher {
  public:
    TFetchResult Fetch(const std::string& url, const km::TDir& dir, const std::string& name,
                       const TFetchOptions& options, const std::function<void(int64_t)>& onProgress,
                       const std::function<bool()>& shouldStop) override {
        auto config = std::make_unique<km::THttpConfig>();
        config->StallTimeout = options.StallTimeout;
        config->FirstRetryWait = options.FirstRetryWait;
        config->MaxBodyBytes = options.MaxBytes;
        config->UserAgent = options.UserAgent;
        TFetchResult result;
        try {
            result.Size = km::DownloadFileAt(
                url, dir.Fd(), name, std::move(config),
                [&](void*, km::TWorkMode, int64_t count) {
                    if (onProgress) {
                        onProgress(count);
                    }
                    if (shouldStop && shouldStop()) {
                        throw km::EAbort();
                    }
                },
                options.Observer, options.Resume);
            result.Status = TFetchResult::TStatus::Done;
        } catch (const km::EAbort&) {
            result.Status = TFetchResult::TStatus::Stopped;
        } catch (const km::EHttpError& e) {
            result.TooLarge = e.BodyTooLarge();
            result.HttpStatus = e.StatusCode();
            result.FixedText = e.FixedText();
            result.Text = e.what();
        } catch (const std::exception& e) {
            result.Text = e.what();
        }
        const bool keep = options.Resume != nullptr && options.Resume->Held > 0 &&
                          !options.Resume->Validator.empty();
        if (result.Status != TFetchResult::TStatus::Done && !keep) {
            // What a failed transfer received is of no use, and left in place
            // it could keep the folder full for the remaining packages.
            km::Fs().UnlinkAt(dir.Fd(), (name + ".part").c_str(), 0);
        }
        return result;
    }
};

class TRegistrySettings : public ISettingsStore {
  public:
    std::string Read(const std::string& name, const std::string& defaultValue) override {
        return km::ReadRegString(name, defaultValue);
    }
    bool Write(const std::string& name, const std::string& value) override {
        return km::WriteRegString(name, value);
    }
    std::string ReadProduct(const std::string& name) override {
        return km::ReadRegString(name, "", kProductRegistryKey);
    }
};

class TSystemClock : public IClock {
  public:
    std::chrono::system_clock::time_point Now() override {
        return std::chrono::system_clock::now();
    }
    std::chrono::steady_clock::time_point Steady() override {
        return std::chrono::steady_clock::now();
    }
    void SleepFor(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
};

}  // namespace

TWorld RealWorld() {
    static TRealFetcher fetcher;
    static TRegistrySettings settings;
    static TSystemClock clock;
    return {fetcher, km::RealFileSystem(), settings, clock};
}

}  // namespace qb
