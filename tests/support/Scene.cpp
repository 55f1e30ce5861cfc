#include "tests/support/Scene.h"

#include <cstdlib>

namespace velktest {

std::vector<std::string> unpackArgv() {
    std::vector<std::string> argv = {VELK_UNPACK_PROGRAM};
    const char* threads = std::getenv("VELK_TEST_THREADS");
    if (threads != nullptr && *threads != '\0') argv.insert(argv.end(), {"--threads", threads});
    return argv;
}

std::string unpackCommand() { return commandLine(unpackArgv()); }

std::string Scene::packWith(const std::string& payload, const std::string& name, const std::string& info,
                            int seed) const {
    sh(refPacker() + " --label L --info " + quote(info) + " --seed " + std::to_string(seed) + " " + payload + " -o " +
       quote(name));
    return dir / name;
}

std::string Scene::pack(const std::string& tree, const std::string& name, const std::string& plvs, int seed) const {
    sh(std::string(kTar) + " -C " + quote(tree) + " -cf " + quote(tree + ".tar") + " .");
    return packWith("--tar " + quote(tree + ".tar"), name, "{\"PLVS\":\"" + plvs + "\"}", seed);
}

std::string Scene::packBadTrailer(const std::string& tree, const std::string& name, const std::string& plvs) const {
    sh(std::string(kTar) + " -C " + quote(tree) + " -cf " + quote(tree + ".tar") + " .");
    std::string gz = sh("gzip -n -c " + quote(tree + ".tar"));
    gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);  // the CRC-32 in the trailer
    writeFile(dir / (name + ".gz"), gz);
    return packWith("--gzip " + quote(name + ".gz"), name, "{\"PLVS\":\"" + plvs + "\"}");
}

Launch Scene::unpacking(const std::vector<std::string>& args, std::vector<std::string> tool) const {
    const std::vector<std::string> program = unpackArgv();
    tool.insert(tool.end(), program.begin(), program.end());
    tool.insert(tool.end(), args.begin(), args.end());
    Launch how;
    how.argv = tool;
    how.out = dir / "log";
    how.workDir = dir.path();
    return how;
}

int Scene::unpackSh(const std::string& args) const {
    return shellStatus(cd() + VELK_UNPACK + " " + args + " > log 2>&1");
}

std::string Scene::state(const std::string& dest, const std::string& version) const {
    return describeTree(dir / dest) + "version: " + readFile(dir / version);
}

}  // namespace velktest
