#pragma once
// The simulated node's entry in the dosdevices folder: a link COM<n> to the
// pseudo-terminal's slave side, so the tool lists and opens it like any
// pinned port.

#include <string>

namespace nodesim {

class PortRegistration
{
public:
    PortRegistration() = default;
    ~PortRegistration() { remove(); }
    PortRegistration(const PortRegistration &) = delete;
    PortRegistration &operator=(const PortRegistration &) = delete;

    // Links `target` as COM<com> in `dir`, making the folder as needed; com 0
    // takes the lowest free number from 50 up. A number that a live entry
    // has in any spelling ("com050") is taken; dead links of the wanted
    // number are cleared away. False, with *error, when the number is taken,
    // none is free, or the file system refuses.
    bool add(const std::string &dir, int com, const std::string &target, std::string *error);

    // Removes the link, unless somebody has re-used the name meanwhile.
    void remove();

    int com() const { return m_com; }                      // -1 when none
    const std::string &linkPath() const { return m_link; } // empty when none

private:
    enum class Outcome { Linked, Taken, Failed };
    Outcome tryNumber(const std::string &dir, long number, std::string *error);

    std::string m_target;
    std::string m_link;
    int m_com = -1;
};

} // namespace nodesim
