#include "tests/cli/json_lines.h"

#include <fstream>

#include "tests/support/child.h"

namespace {

constexpr char kParser[] = R"(
import json, sys
data = open(sys.argv[1], 'rb').read().decode('utf-8')
if not data.endswith('\n'):
    sys.exit('the last line has no newline')
for number, line in enumerate(data.split('\n')[:-1], 1):
    try:
        value = json.loads(line)
    except ValueError as error:
        sys.exit('line %d: %s: %r' % (number, error, line))
    if not isinstance(value, dict):
        sys.exit('line %d is not an object: %r' % (number, line))
    print(json.dumps(value, sort_keys=True, ensure_ascii=True, separators=(',', ':')))
)";

}  // namespace

JsonLines ParseJsonLines(const std::string& text, const std::string& scratch) {
    JsonLines result;
    const std::string input = scratch + "/json-input";
    std::ofstream(input, std::ios::binary) << text;
    Child parser;
    Launch launch;
    launch.argv = {"python3", "-c", kParser, input};
    launch.out = Stdio::File(scratch + "/json-output");
    launch.err = Stdio::File(scratch + "/json-error");
    if (!parser.Start(launch)) {
        result.error = "python3 could not be started";
        return result;
    }
    const int code = parser.Wait(30000);
    result.error = ReadWholeFile(launch.err.path);
    if (code != 0) {
        if (result.error.empty()) result.error = "python3 ended with " + std::to_string(code);
        return result;
    }
    const std::string out = ReadWholeFile(launch.out.path);
    size_t start = 0;
    for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
        result.canonical.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    result.ok = true;
    return result;
}
