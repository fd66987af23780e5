#include "frontends/station/station_view.h"

#include "frontends/options.h"

namespace fwu {

StationOutcome OutcomeOfStatus(int status) {
    switch (status) {
        case kExitUpdated:
            return StationOutcome::Updated;
        case kExitRefused:
            return StationOutcome::Current;
        case kExitFailed:
            return StationOutcome::Failed;
        case kExitUnconfirmed:
            return StationOutcome::Unconfirmed;
        default:
            return StationOutcome::Skipped;
    }
}

const char* OutcomeText(StationOutcome outcome) {
    switch (outcome) {
        case StationOutcome::Running:
            return "running";
        case StationOutcome::Updated:
            return "updated";
        case StationOutcome::Current:
            return "already current";
        case StationOutcome::Failed:
            return "failed";
        case StationOutcome::Unconfirmed:
            return "unconfirmed";
        case StationOutcome::Skipped:
            return "skipped";
    }
    return "skipped";
}

std::string OutcomeDescription(const StationRow& row) {
    std::string text = OutcomeText(row.outcome);
    switch (row.outcome) {
        case StationOutcome::Running:
        case StationOutcome::Current:
            break;
        case StationOutcome::Updated:
            if (!row.versionAfter.empty()) text += " to " + row.versionAfter;
            break;
        default:
            if (!row.detail.empty()) text += ": " + row.detail;
            break;
    }
    return text;
}

void StationCounts::Add(StationOutcome outcome) {
    switch (outcome) {
        case StationOutcome::Running:
            break;
        case StationOutcome::Updated:
            ++updated;
            break;
        case StationOutcome::Current:
            ++current;
            break;
        case StationOutcome::Failed:
            ++failed;
            break;
        case StationOutcome::Unconfirmed:
            ++unconfirmed;
            break;
        case StationOutcome::Skipped:
            ++skipped;
            break;
    }
}

int StationExitStatus(const StationCounts& counts) {
    if (counts.Total() == 0) return kExitNoDevice;
    if (counts.failed > 0) return kExitFailed;
    if (counts.unconfirmed > 0) return kExitUnconfirmed;
    if (counts.skipped > 0) return kExitNoDevice;
    return kExitUpdated;
}

std::string SummaryText(const StationCounts& counts) {
    std::string text = std::to_string(counts.updated) + " updated, " +
                       std::to_string(counts.current) + " already current, " +
                       std::to_string(counts.failed) + " failed";
    if (counts.unconfirmed > 0) text += ", " + std::to_string(counts.unconfirmed) + " unconfirmed";
    if (counts.skipped > 0) text += ", " + std::to_string(counts.skipped) + " skipped";
    return text;
}

}  // namespace fwu
