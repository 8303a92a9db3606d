#include "resolver/FutureSystem.h"

#include "base/Logger.h"

#include <algorithm>
#include <cassert>
#include <iterator>

namespace
{

using Op = RichDependency::Op;

// The packages of a "with"/"without" node that may meet it: the providers of its first
// operand (for an "or", of any of its operands).
void appendCandidates(const RichDependency& rich, uint32_t uNode, const RichContext& context,
                      std::vector<const Package*>& vPackages)
{
    const RichDependency::Node& node = rich.node(uNode);
    switch (node.m_op)
    {
    case Op::LEAF:
        context.appendProviders(node.m_leaf, vPackages);
        break;
    case Op::OR:
        for (uint32_t uOperand : node.m_vOperands)
            appendCandidates(rich, uOperand, context, vPackages);
        break;
    case Op::WITH:
    case Op::WITHOUT:
        appendCandidates(rich, node.m_vOperands.front(), context, vPackages);
        break;
    default:
        // librpm allows nothing else inside "with" and "without".
        break;
    }
}

} // namespace

bool packageProvides(const Package& package, const Dependency& leaf)
{
    const DependencySet& provides = package.m_setProvides;
    for (auto it = firstNamed(provides, leaf.m_sName);
         it != provides.end() && it->m_sName == leaf.m_sName; ++it)
        if (it->overlaps(leaf))
            return true;
    return false;
}

bool richPackageMatches(const RichDependency& rich, uint32_t uNode, const Package& package)
{
    const RichDependency::Node& node = rich.node(uNode);
    switch (node.m_op)
    {
    case Op::LEAF:
        return packageProvides(package, node.m_leaf);
    case Op::OR:
        return std::any_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                           [&](uint32_t uOperand)
                           { return richPackageMatches(rich, uOperand, package); });
    case Op::WITH:
        return std::all_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                           [&](uint32_t uOperand)
                           { return richPackageMatches(rich, uOperand, package); });
    case Op::WITHOUT:
        return richPackageMatches(rich, node.m_vOperands.front(), package) &&
               std::none_of(std::next(node.m_vOperands.begin()), node.m_vOperands.end(),
                            [&](uint32_t uOperand)
                            { return richPackageMatches(rich, uOperand, package); });
    default:
        return false;
    }
}

bool richHolds(const RichDependency& rich, uint32_t uNode, const RichContext& context)
{
    const RichDependency::Node& node = rich.node(uNode);
    const auto holds = [&](size_t uOperand)
    { return richHolds(rich, node.m_vOperands[uOperand], context); };
    switch (node.m_op)
    {
    case Op::LEAF:
        return context.provides(node.m_leaf) || node.m_leaf.m_sName.c_str()[0] == '/';
    case Op::AND:
        return std::all_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                           [&](uint32_t uOperand) { return richHolds(rich, uOperand, context); });
    case Op::OR:
        return std::any_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                           [&](uint32_t uOperand) { return richHolds(rich, uOperand, context); });
    case Op::IF:
        if (holds(1))
            return holds(0);
        return node.m_vOperands.size() < 3 || holds(2);
    case Op::UNLESS:
        // As librpm evaluates it: without "else", the consequence must hold and the
        // condition must not (rpmbuild refuses a bare "unless" at the top of a requirement).
        if (holds(1))
            return node.m_vOperands.size() > 2 && holds(2);
        return holds(0);
    case Op::WITH:
    case Op::WITHOUT:
    {
        std::vector<const Package*> vCandidates;
        appendCandidates(rich, uNode, context, vCandidates);
        return std::any_of(vCandidates.begin(), vCandidates.end(),
                           [&](const Package* pPackage)
                           { return richPackageMatches(rich, uNode, *pPackage); });
    }
    }
    return false;
}

FutureSystem::FutureSystem(const InstalledPackages* pInstalled, const PackageSet& newPackages,
                           bool bLogErased)
{
    gather(pInstalled, newPackages);
    index();
    if (bLogErased)
        logErased();
}

void FutureSystem::gather(const InstalledPackages* pInstalled, const PackageSet& newPackages)
{
    // The obsoletes of the new packages by the name they hit; among equal names, the new
    // packages in name order and their entries in set order.
    struct Obsolete
    {
        uint32_t m_uName;
        const Dependency* m_pEntry;
        const Package* m_pBy;
    };
    std::vector<Obsolete> vObsoletes;
    for (const RepoPackage& package : newPackages)
        for (const Dependency& obsolete : package.m_setObsoletes)
            vObsoletes.push_back({obsolete.m_sName.handle(), &obsolete, &package});
    std::stable_sort(vObsoletes.begin(), vObsoletes.end(),
                     [](const Obsolete& a, const Obsolete& b) { return a.m_uName < b.m_uName; });
    const auto obsoletedBy = [&](const Package& installed) -> const Package*
    {
        const uint32_t uName = installed.m_sName.handle();
        auto it =
            std::lower_bound(vObsoletes.begin(), vObsoletes.end(), uName,
                             [](const Obsolete& entry, uint32_t u) { return entry.m_uName < u; });
        const Dependency self(installed.m_sName, installed.m_Evr, RPMSENSE_EQUAL);
        for (; it != vObsoletes.end() && it->m_uName == uName; ++it)
            if (it->m_pEntry->overlaps(self))
                return it->m_pBy;
        return nullptr;
    };

    m_pInstalled = pInstalled;
    const size_t nInstalled = pInstalled ? pInstalled->size() : 0;
    m_vPackages.reserve(nInstalled + newPackages.size());
    m_vInstalled.reserve(nInstalled);
    m_vFates.reserve(nInstalled);
    m_vErasedBy.reserve(nInstalled);
    m_vInstalledSlot.reserve(nInstalled);
    if (pInstalled)
    {
        for (const Package& installed : *pInstalled)
        {
            Fate fate = Fate::STAYS;
            const Package* pBy = nullptr;
            if (newPackages.contains(installed.m_sName))
                fate = Fate::REPLACED;
            else if (!vObsoletes.empty() && (pBy = obsoletedBy(installed)) != nullptr)
                fate = Fate::ERASED;
            m_vInstalled.push_back(&installed);
            m_vFates.push_back(fate);
            m_vErasedBy.push_back(pBy);
            m_vInstalledSlot.push_back(
                fate == Fate::STAYS ? static_cast<uint32_t>(m_vPackages.size()) : NONE);
            if (fate == Fate::STAYS)
                m_vPackages.push_back(&installed);
        }
    }
    for (const RepoPackage& package : newPackages)
        m_vPackages.push_back(&package);
}

void FutureSystem::logErased() const
{
    for (size_t uPosition = 0; uPosition < m_vInstalled.size(); ++uPosition)
        if (m_vFates[uPosition] == Fate::ERASED)
            logMessage(DEBUG, "%s will be erased, obsoleted by %s",
                       m_vInstalled[uPosition]->label().c_str(),
                       m_vErasedBy[uPosition]->label().c_str());
}

uint32_t FutureSystem::installedPosition(const Package& package) const
{
    // Made on first use: a check that is not continued never asks.
    if (m_mapInstalledPosition.empty())
        for (size_t uPosition = 0; uPosition < m_vInstalled.size(); ++uPosition)
            m_mapInstalledPosition.emplace(m_vInstalled[uPosition],
                                           static_cast<uint32_t>(uPosition));
    auto it = m_mapInstalledPosition.find(&package);
    return it == m_mapInstalledPosition.end() ? NONE : it->second;
}

bool FutureSystem::holds(const Package& package) const
{
    const uint32_t uPosition = installedPosition(package);
    return uPosition == NONE || m_vFates[uPosition] == Fate::STAYS;
}

void FutureSystem::add(const std::vector<const Package*>& vAdded,
                       std::vector<const Package*>& vLeft)
{
    for (const Package* pAdded : vAdded)
    {
        if (m_pInstalled)
        {
            auto [first, last] = m_pInstalled->equal_range(pAdded->m_sName);
            for (auto it = first; it != last; ++it)
            {
                const uint32_t uPosition = installedPosition(*it);
                if (m_vFates[uPosition] == Fate::STAYS)
                    dropInstalled(uPosition, vLeft);
                m_vFates[uPosition] = Fate::REPLACED;
                m_vErasedBy[uPosition] = nullptr;
            }
            // The package named in the message is the first new package by name that
            // obsoletes it, as when the system is gathered at once.
            for (const Dependency& obsolete : pAdded->m_setObsoletes)
            {
                auto [firstHit, lastHit] = m_pInstalled->equal_range(obsolete.m_sName);
                for (auto it = firstHit; it != lastHit; ++it)
                {
                    const uint32_t uPosition = installedPosition(*it);
                    if (m_vFates[uPosition] == Fate::REPLACED ||
                        !obsolete.overlaps(Dependency(it->m_sName, it->m_Evr, RPMSENSE_EQUAL)))
                        continue;
                    if (m_vFates[uPosition] == Fate::STAYS)
                    {
                        dropInstalled(uPosition, vLeft);
                        m_vFates[uPosition] = Fate::ERASED;
                        m_vErasedBy[uPosition] = pAdded;
                    }
                    else if (pAdded->m_sName < m_vErasedBy[uPosition]->m_sName)
                        m_vErasedBy[uPosition] = pAdded;
                }
            }
        }
        m_vPackages.push_back(pAdded);
        indexPackage(*pAdded);
    }
}

void FutureSystem::dropInstalled(uint32_t uPosition, std::vector<const Package*>& vLeft)
{
    const uint32_t uSlot = m_vInstalledSlot[uPosition];
    const size_t uEnd =
        uSlot + 1 < m_vFirstProvide.size() ? m_vFirstProvide[uSlot + 1] : m_vProvides.size();
    for (size_t uIndex = m_vFirstProvide[uSlot]; uIndex < uEnd; ++uIndex)
        m_vProvides[uIndex] = nullptr;
    m_vPackages[uSlot] = nullptr;
    m_vInstalledSlot[uPosition] = NONE;
    vLeft.push_back(m_vInstalled[uPosition]);
}

void FutureSystem::index()
{
    size_t nTotal = 0;
    for (const Package* pPackage : m_vPackages)
        nTotal += pPackage->m_setProvides.size();
    m_vProvides.reserve(nTotal);
    m_vFirstProvide.reserve(m_vPackages.size());
    m_vNext.reserve(nTotal);
    resize(nTotal);
    for (const Package* pPackage : m_vPackages)
        indexPackage(*pPackage);
}

void FutureSystem::resize(size_t nProvides)
{
    unsigned uBits = 4;
    while ((size_t{1} << uBits) < nProvides * 2)
        ++uBits;
    m_uShift = 32 - uBits;
    m_uMask = (size_t{1} << uBits) - 1;
    m_vSlots.assign(size_t{1} << uBits, Slot{0, NONE});
    for (size_t uIndex = 0; uIndex < m_vProvides.size(); ++uIndex)
    {
        if (m_vProvides[uIndex] == nullptr)
            continue;
        Slot& slot = m_vSlots[findSlot(m_vProvides[uIndex]->m_sName)];
        slot.m_uName = m_vProvides[uIndex]->m_sName.handle();
        m_vNext[uIndex] = slot.m_uFirst;
        slot.m_uFirst = static_cast<uint32_t>(uIndex);
    }
}

void FutureSystem::indexPackage(const Package& package)
{
    const size_t nProvides = m_vProvides.size() + package.m_setProvides.size();
    if (nProvides * 2 > m_vSlots.size())
        resize(nProvides * 2);
    m_vFirstProvide.push_back(static_cast<uint32_t>(m_vProvides.size()));
    for (const Dependency& provide : package.m_setProvides)
    {
        const uint32_t uIndex = static_cast<uint32_t>(m_vProvides.size());
        m_vProvides.push_back(&provide);
        Slot& slot = m_vSlots[findSlot(provide.m_sName)];
        slot.m_uName = provide.m_sName.handle();
        m_vNext.push_back(slot.m_uFirst);
        slot.m_uFirst = uIndex;
    }
}

size_t FutureSystem::findSlot(const InternedString& sName) const
{
    const uint32_t uName = sName.handle();
    // Fibonacci hashing: handles of neighbouring strings spread over the whole table.
    size_t uIndex = static_cast<uint32_t>(uName * 0x9e3779b1u) >> m_uShift;
    while (m_vSlots[uIndex].m_uFirst != NONE && m_vSlots[uIndex].m_uName != uName)
        uIndex = (uIndex + 1) & m_uMask;
    return uIndex;
}

DependencySet FutureSystem::sortedProvides() const
{
    std::vector<Dependency> vCopies;
    vCopies.reserve(m_vProvides.size());
    for (const Dependency* pProvide : m_vProvides)
        if (pProvide != nullptr)
            vCopies.push_back(*pProvide);
    return DependencySet(vCopies.begin(), vCopies.end());
}

bool FutureSystem::provides(const Dependency& leaf) const
{
    for (uint32_t uIndex = m_vSlots[findSlot(leaf.m_sName)].m_uFirst; uIndex != NONE;
         uIndex = m_vNext[uIndex])
        if (m_vProvides[uIndex] != nullptr && m_vProvides[uIndex]->overlaps(leaf))
            return true;
    return false;
}

void FutureSystem::appendProviders(const Dependency& leaf,
                                   std::vector<const Package*>& vPackages) const
{
    for (uint32_t uIndex = m_vSlots[findSlot(leaf.m_sName)].m_uFirst; uIndex != NONE;
         uIndex = m_vNext[uIndex])
    {
        if (m_vProvides[uIndex] == nullptr || !m_vProvides[uIndex]->overlaps(leaf))
            continue;
        // The last package whose first provide is at or before this one (packages without
        // provides share their start with the next).
        const auto owner = std::upper_bound(m_vFirstProvide.begin(), m_vFirstProvide.end(), uIndex);
        vPackages.push_back(m_vPackages[static_cast<size_t>(owner - m_vFirstProvide.begin()) - 1]);
    }
}

const RichDependency* FutureSystem::rich(const Dependency& require) const
{
    assert(require.isRich());
    auto [it, bNew] = m_mapRich.try_emplace(require.m_sName.handle());
    if (bNew)
    {
        RichDependency parsed;
        if (parsed.parse(require.m_sName.view()))
            it->second = std::move(parsed);
    }
    return it->second ? &*it->second : nullptr;
}

bool FutureSystem::satisfies(const Dependency& require) const
{
    if (provides(require))
        return true;
    if (!require.isRich())
        return false;
    const RichDependency* pRich = rich(require);
    return pRich != nullptr && richHolds(*pRich, pRich->rootIndex(), *this);
}
