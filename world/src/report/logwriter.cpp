#include "report/logwriter.h"

#include <mutex>

namespace player {

LogWriter::LogWriter(StagedFile* file) : file_(file)
{
    thread_ = std::thread([this] { Loop(); });
}

LogWriter::~LogWriter()
{
    Stop();
}

void LogWriter::Write(std::string* text)
{
    if (text->empty())
        return;
    {
        std::lock_guard<host::PiMutex> lock(mu_);
        queue_.emplace_back();
        queue_.back().swap(*text);
    }
    wake_.notify_one();
}

bool LogWriter::Finish(std::string* error)
{
    Stop();
    if (error_.empty())
        return true;
    *error = error_;
    return false;
}

void LogWriter::Stop()
{
    {
        std::lock_guard<host::PiMutex> lock(mu_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void LogWriter::Loop()
{
    host::NameThisThread("log writer");
    std::vector<std::string> batch;
    std::unique_lock<host::PiMutex> lock(mu_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;   // stopped, and everything handed over is written
        batch.swap(queue_);
        lock.unlock();
        std::string error;
        for (const std::string& text : batch)
            if (error.empty() && !file_->WriteAll(text, &error) && error.empty())
                error = "cannot write '" + file_->Path() + "'";
        batch.clear();
        lock.lock();
        if (error_.empty())
            error_ = error;
    }
}

}  // namespace player
