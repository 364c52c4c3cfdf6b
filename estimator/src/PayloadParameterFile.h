#pragma once

#include <Eigen/Core>
#include <functional>
#include <string>

#include "EstimatorConfig.h"
#include "InertiaIdentification.h"

namespace zelto {

//! Where the payload parameter file goes: the directory part of configPath joined with
//! outputFileName. "/" and "\" both separate path components, on every platform.
//! - The directory part is everything before the last separator of configPath, without the
//!   separators directly before that point; it is empty when there is no separator and the
//!   root itself ("/" or "\") for a file directly under a root directory.
//! - An empty directory gives outputFileName alone (relative to the working directory).
//! - Otherwise a separator (the one configPath uses at that point) is inserted unless the
//!   directory already ends with one.
//! - An absolute outputFileName (starting with a separator or a drive such as "D:")
//!   replaces the directory part.
std::string payloadParameterFilePath(const std::string& configPath,
                                     const std::string& outputFileName);

//! The text after the last separator of path ("/" or "\").
std::string fileNamePart(const std::string& path);

//! The payload parameter file's text for a solution of 16 values (mass; centre of mass x,
//! y, z; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force bias x, y, z; torque bias x, y, z): 29 lines
//! with the "bias" block, 21 without, numbers in the default stream format. Inertia entries
//! the motion did not identify are named in one more member, the last of
//! "payload_properties": "not_identified": ["Iyy", "Iyz", "Izz"] (readers that look their keys
//! up by name pass over it); a file of a fully identified payload has no such member.
std::string payloadParameterFileText(
    const Eigen::Matrix<double, 16, 1>& solution, bool withBias,
    const InertiaEntryFlags& inertiaIdentified = kAllInertiaIdentified);

//! Writes the payload parameter file of a converged run next to the configuration file.
//! The solution is queried after the INFO line that announces the write; a query that
//! throws is reported like any other failure.
//!
//! The file is first written completely to a temporary file in the target directory,
//! flushed to the disk, then renamed over the target, and the directory is flushed too: an
//! existing file is either replaced as a whole or left as it was, also across a power cut.
//! Never throws; every failure is reported by one ERROR line:
//! - "Failed to open file for writing: <path>" when the target cannot be created;
//! - "Failed to write inertial parameters to file: <reason>" for a solution that is not
//!   16 finite values, a failed write, close, flush to the disk or rename, or an exception.
//!   A failed flush of the directory comes after the rename: the new file is in place then,
//!   but the write still counts as failed.
//! Returns true when the file was written and the success line printed.
bool writePayloadParameterFile(const EstimatorConfig& config,
                               const std::function<Eigen::VectorXd()>& solution,
                               const InertiaEntryFlags& inertiaIdentified = kAllInertiaIdentified);

//! Flushes a file or a directory to the disk: 0 on success, otherwise the errno value.
using DiskSync = int (*)(const char* path);

//! Replaces the flush the writer uses (nullptr restores the real one) and returns the
//! previous one; lets tests make the flush fail.
DiskSync setDiskSync(DiskSync sync);

}  // namespace zelto
