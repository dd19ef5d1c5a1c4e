#pragma once
// The host and window the command-line benchmark runs the core with: the real
// POSIX file system, messages on standard error, and a window that is only the
// text Text2 would hold. No window system is loaded.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "core/host.h"
#include "core/window.h"
#include "platform/linux/posix_file_system.h"

namespace quelmar::bench {

class TextWindow : public WindowOps {
public:
    void setCaption(const std::string&) override {}
    void setText1(const std::string&) override {}
    void setText2(const std::string& text) override { text2_ = text; }
    std::string text2() const { return text2_; }
    void showWindow() override {}
    void setBusy(bool) override {}
    void showBusy() override {}
    void closeWindow() override {}
    bool keepAlive() override { return true; }
    void setDeleteEnabled(bool enabled) override { deleteEnabled_ = enabled; }
    void setRefreshEnabled(bool) override {}
    std::optional<std::string> showOpenDialog(const OpenDialogRequest&) override { return std::nullopt; }

    bool deleteEnabled() const { return deleteEnabled_; }

private:
    std::string text2_;
    bool deleteEnabled_ = false;
};

class BenchHost : public Host {
public:
    // Called with each message after it is written, e.g. to see what the
    // window held when it appeared.
    std::function<void(const std::string& text)> onMessage;

    char separator() const override { return '/'; }
    std::unique_ptr<FileSystem> createFileSystem() override {
        return std::make_unique<linux_host::PosixFileSystem>();
    }
    bool namesIgnoreCase() const override { return false; }
    void showMessage(const std::string& text, MessageIcon, const std::string&) override {
        std::string shown;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) shown += text[i];
        std::fprintf(stderr, "%s\n", shown.c_str());
        if (onMessage) onMessage(text);
    }
    std::string getSetting(const std::string&, const std::string&, const std::string&,
                           const std::string& defaultValue) override {
        return defaultValue;
    }
    void saveSetting(const std::string&, const std::string&, const std::string&, const std::string&) override {}
    bool anotherInstanceRunning() override { return false; }
    Version version() override { return {}; }
    std::string programFolder() override { return "."; }
    LocateStart locateDialogStart() override { return {}; }
};

}  // namespace quelmar::bench
