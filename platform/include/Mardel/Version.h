// A component's version record: a name, three numbers, the revision text of
// the source control and the build date as the compiler gives it
// ("Aug  8 2023"). A plain value; copies are independent.
#pragma once

#include <string>

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CVersion {
public:
    CVersion(const char* name, int major, int minor, int revision, const char* revision_text,
             const char* date);

    const char* getName() const { return m_name.c_str(); }
    int getMajor() const { return m_major; }
    int getMinor() const { return m_minor; }
    int getRevision() const { return m_revision; }
    const char* getRevisionText() const { return m_revision_text.c_str(); }
    const char* getDate() const { return m_date.c_str(); }

private:
    std::string m_name;
    int m_major;
    int m_minor;
    int m_revision;
    std::string m_revision_text;
    std::string m_date;
};

}  // namespace Mardel
}  // namespace Halvex
