#include "report/outputset.h"

#include "run/failure.h"
#include "report/plot.h"

namespace player {

void OutputSet::Create(const Options& o, std::vector<std::string>* warnings)
{
    struct Want {
        const std::string* path;
        StagedFile* file;
    } wants[] = {{&o.wavOut, &wavFile_}, {&o.sbcOut, &sbcFile_}, {&o.csvOut, &csvFile_},
                 {&o.jsonOut, &jsonFile_}, {&o.plotOut, &plotFile_}, {&o.heardOut, &heardFile_}};
    const size_t kWants = sizeof wants / sizeof wants[0];
    // Two outputs with one name, or an output over the input, would lose data.
    for (size_t i = 0; i < kWants; ++i) {
        if (wants[i].path->empty())
            continue;
        if (!o.input.empty() && *wants[i].path == o.input)
            throw Failure{kExitUsage, "output '" + *wants[i].path + "' would overwrite the input file"};
        for (size_t j = i + 1; j < kWants; ++j)
            if (*wants[i].path == *wants[j].path)
                throw Failure{kExitUsage, "'" + *wants[i].path + "' is named for two outputs"};
    }
    std::string error;
    for (const Want& w : wants) {
        if (w.path->empty())
            continue;
        if (!w.file->Create(*w.path, &error))
            throw Failure{kExitOutput, error};
        for (const std::string& stale : w.file->Removed())
            warnings->push_back("removed '" + stale + "', left by a run of '" + *w.path + "' that was killed");
    }
    if (wavFile_.IsOpen()) {
        wav_.reset(new WavOutput(&wavFile_));
        if (!wav_->Open(&error))
            throw Failure{kExitOutput, error};
        received_.Add(wav_.get());
    }
    if (heardFile_.IsOpen()) {
        heardWav_.reset(new WavOutput(&heardFile_));
        if (!heardWav_->Open(&error))
            throw Failure{kExitOutput, error};
    }
    if (sbcFile_.IsOpen() && o.codec == Options::Codec::Sbc) {
        sentSbc_ = true;
    } else if (sbcFile_.IsOpen()) {
        sbc_.reset(new SbcOutput(&sbcFile_));
        if (!sbc_->Open(&error))
            throw Failure{kExitOutput, error};
        received_.Add(sbc_.get());
    }
    if (csvFile_.IsOpen() && !csvFile_.WriteAll(kPacketLogHeader, &error))
        throw Failure{kExitOutput, error};
}

void OutputSet::SentSbc(const btstandin::MediaPacket& p)
{
    const size_t headers = btstandin::kRtpHeaderBytes + btstandin::kSbcHeaderBytes;
    if (!sentSbc_ || !sentError_.empty() || p.payload.size() <= headers)
        return;
    std::string error;
    if (!sbcFile_.WriteAll(std::string(p.payload.begin() + headers, p.payload.end()), &error))
        sentError_ = error;
}

void OutputSet::Commit(Report* report)
{
    std::string error;
    if (!sentError_.empty())
        throw Failure{kExitOutput, sentError_};
    if (!received_.Finish(&error))
        throw Failure{kExitOutput, error};
    // The listener's outputs but the sound device, which the listener finished.
    if (heardWav_ && !heardWav_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (plotFile_.IsOpen() && !plotFile_.WriteAll(FormatSvg(*report), &error))
        throw Failure{kExitOutput, error};
    // The outputs go in place before the report is written: first those
    // copied into special files (where a write may still fail, on a full
    // device), then the renames, so a failure leaves no output of this run
    // in place (only a rename failing after another succeeded could).
    StagedFile* files[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (bool copies : {true, false})
        for (StagedFile* f : files)
            if (f->IsOpen() && f->CopiesOnCommit() == copies && !f->Commit(&error))
                throw Failure{kExitOutput, error};
    for (StagedFile* f : files)
        if (!f->Path().empty())
            report->outputs.push_back(f->Path());
    if (!jsonFile_.Path().empty())
        report->outputs.push_back(jsonFile_.Path());
    if (jsonFile_.IsOpen() && !(jsonFile_.WriteAll(FormatJson(*report), &error) && jsonFile_.Commit(&error))) {
        report->outputs.pop_back();
        throw Failure{kExitOutput, error};
    }
}

void OutputSet::Drop(Report* report, const std::string& jsonPath)
{
    wav_.reset();
    heardWav_.reset();
    sbc_.reset();
    StagedFile* dropped[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (StagedFile* file : dropped)
        file->Abort();
    // Whatever the run staged for the report is dropped: the failed run's
    // report is the one document.
    jsonFile_.Abort();
    std::string error;
    if (report && !jsonPath.empty() && jsonFile_.Create(jsonPath, &error) &&
        jsonFile_.WriteAll(FormatJson(*report), &error) && jsonFile_.Commit(&error))
        report->outputs.push_back(jsonFile_.Path());
    jsonFile_.Abort();
}

}  // namespace player
