#include "Mardel/Version.h"

namespace Halvex {
namespace Mardel {

CVersion::CVersion(const char* name, int major, int minor, int revision, const char* revision_text,
                   const char* date)
    : m_name(name ? name : ""),
      m_major(major),
      m_minor(minor),
      m_revision(revision),
      m_revision_text(revision_text ? revision_text : ""),
      m_date(date ? date : "") {}

}  // namespace Mardel
}  // namespace Halvex
