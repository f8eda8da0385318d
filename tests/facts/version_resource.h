// The test suite's own small reading of a PE file's version resource, to check the facts read
// through libyara against: every String of every StringFileInfo table of every RT_VERSION
// resource, the last one of a key winning (as the product's reader keeps them). Values are
// UTF-16 up to their terminator; a String whose value length is 0 is left out.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace olv::test {

// False when the bytes are not a PE file with a version resource this reader can walk.
bool ReadVersionStrings(const std::vector<unsigned char>& file,
                        std::map<std::u16string, std::u16string>* strings);

} // namespace olv::test
