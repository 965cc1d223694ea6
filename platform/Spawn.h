// Starting other programs: the archiver, the opener and the log viewer.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace plat {

struct SpawnOptions {
    bool quietOutput = false; // standard output to /dev/null too
    bool newSession = false;  // a session of its own, as a detached program
};

// Starts argv[0] with argv. The child reads /dev/null, inherits none of our
// descriptors beyond 0-2 (a data connection it held would keep an upload
// from ending) and handles signals normally whatever we block or ignore.
// 0 with *pid set, else the errno of the failure.
int SpawnProgram(const std::vector<std::string>& argv, SpawnOptions options, pid_t* pid);

// Starts program with arguments in a session of its own, output to
// /dev/null, and does not wait for it (a thread of ours reaps it); false
// when it could not be started. A data connection it inherited would hold
// an upload open for as long as it runs, so it gets none of our descriptors.
bool StartDetached(const QStringList& argv);

bool IsExecutableFile(const QString& path);
// A path is taken as it is, a bare name is looked up on PATH.
std::optional<QString> ResolveProgram(const QString& program);
// A program that travels with ours: beside the running executable, else on PATH.
std::optional<QString> FindCompanionProgram(const QString& name);

} // namespace plat
