#include "Core/Orvex/Trans.h"

#include <cstdlib>
#include <new>
#include <sstream>

#include "Core/Orvex/__field.h"
#include "support/Utils.h"
#include "support/serial.h"

namespace Orvex {

// ================================================================ transformers

template <class T>
const std::string& field_transformer<T>::typeName() {
    return TImpl<T>::s_impl().typeName();
}

template <class T>
void field_transformer<T>::reset(const TFieldInfo& field) {
    field.CheckType(typeName());
}

template <class T>
void field_transformer<T>::onChange(TRecord& record, unsigned index) {
    do_onChange(record[index].template get<T>());
}

template <class T>
void field_transformer<T>::addToFields(TFields& fields, const TFieldInfo& field) const {
    do_addToFields(fields, static_cast<const TField<T>&>(field));
}

template <class T>
field_transformer<T>::creator::creator() : field_transformer_base::creator(field_transformer<T>::typeName()) {}

#define ORVEX_INSTANTIATE_TRANSFORMER(T, enumerator) template class field_transformer<T>;
ORVEX_FIELD_TYPES(ORVEX_INSTANTIATE_TRANSFORMER)
#undef ORVEX_INSTANTIATE_TRANSFORMER

pointer<field_transformer_base> null_creator::create(const TTables&, const field_transformer_base::args&) const {
    return pointer<field_transformer_base>();
}

// ==================================================================== registry

namespace {

[[noreturn]] void raiseBadPosition(unsigned i) {
    std::ostringstream os;
    os << "Index " << i << " out of bounds";
    Utils::raise_runtime_error(os.str());
}

[[noreturn]] void raiseCannotCreate(const std::string& cat, const std::string& type) {
    std::ostringstream os;
    os << " cannot create transformer (category: " << cat << " , type " << type << ")";
    Utils::raise_runtime_error(os.str());
}

}  // namespace

transformer_category::transformer_category(const std::string& name)
    : TNamed(name), m_creators(&transformer_category::badIndex, &transformer_category::badKey) {}

void transformer_category::badIndex(unsigned i) { raiseBadPosition(i); }

void transformer_category::badKey(const std::string& name) {
    std::ostringstream os;
    os << "Creator " << name << " doesn't exist";
    Utils::raise_runtime_error(os.str());
}

class field_transformer_manager::CImpl : public TPtrCollection {
public:
    CImpl() : TPtrCollection(&CImpl::badIndex, &CImpl::badKey) {}

    static void badIndex(unsigned i) { raiseBadPosition(i); }
    static void badKey(const std::string& name) {
        std::ostringstream os;
        os << "Category " << name << " doesn't exist";
        Utils::raise_runtime_error(os.str());
    }
};

field_transformer_manager::field_transformer_manager() : m_pImpl(new CImpl) {}

field_transformer_manager::~field_transformer_manager() { clear(); }

void field_transformer_manager::clear() {
    if (!m_pImpl) return;
    // Creators go first, while the categories still stand, in case one of
    // them looks at the registry on its way out.
    for (unsigned i = 0; i < m_pImpl->size(); ++i) {
        const std::string name = m_pImpl->objectAt(i).name();
        m_pImpl->updateAt(i, pointer<TNamed>(new transformer_category(name)));
    }
    m_pImpl.reset();
}

unsigned field_transformer_manager::categoryCount() const { return m_pImpl ? m_pImpl->size() : 0; }

transformer_category& field_transformer_manager::category(const std::string& cat) const {
    if (!m_pImpl) m_pImpl.reset(new CImpl);
    const unsigned i = m_pImpl->indexOf(cat);
    if (i < m_pImpl->size()) return static_cast<transformer_category&>(m_pImpl->objectAt(i));
    pointer<transformer_category> made(new transformer_category(cat));
    m_pImpl->add(made);
    return *made;
}

void field_transformer_manager::registerTransformerCreator(const std::string& cat,
                                                           const pointer<field_transformer_base::creator>& c) {
    transformer_category& k = category(cat);
    const std::string type = c->name();
    if (k.creators().indexOf(type) < k.creators().size()) {
        std::ostringstream os;
        os << "Creator " << cat << " for type " << type << " already exists";
        Utils::raise_runtime_error(os.str());
    }
    k.creators().add(c);
}

void field_transformer_manager::unregisterTransformerCreator(const std::string& cat, const std::string& type) {
    transformer_category& k = category(cat);
    const unsigned i = k.creators().indexOf(type);
    if (i < k.creators().size()) k.creators().updateAt(i, pointer<TNamed>(new null_creator(type)));
}

void field_transformer_manager::registerArgsCreator(const std::string& cat,
                                                    const pointer<field_transformer_base::args::creator>& c) {
    category(cat).argsCreator(c);
}

void field_transformer_manager::unregisterArgsCreator(const std::string& cat) {
    category(cat).argsCreator(pointer<field_transformer_base::args::creator>());
}

const field_transformer_base::creator& field_transformer_manager::transformerCreator(const std::string& cat,
                                                                                     const std::string& type) const {
    const transformer_category& k = category(cat);
    const unsigned i = k.creators().indexOf(type);
    if (i >= k.creators().size()) raiseCannotCreate(cat, type);
    return static_cast<const field_transformer_base::creator&>(k.creators().objectAt(i));
}

pointer<field_transformer_base> field_transformer_manager::createTransformer(
    const TFields& fields, const std::string& name, const TTables& tables,
    const field_transformer_base::args& a) const {
    const std::string cat = a.category();
    const std::string type = fields[name].Type();
    const transformer_category& k = category(cat);
    const unsigned i = k.creators().indexOf(type);
    if (i >= k.creators().size()) raiseCannotCreate(cat, type);
    // Held, not borrowed, in case the creator's work reaches the registry.
    const pointer<TNamed> held = k.creators().ptrAt(i);
    pointer<field_transformer_base> made =
        static_cast<const field_transformer_base::creator&>(*held).create(tables, a);
    if (!made) raiseCannotCreate(cat, type);
    return made;
}

pointer<field_transformer_base::args> field_transformer_manager::createArgs(const std::string& cat,
                                                                            std::istream& in,
                                                                            bool binary) const {
    const pointer<field_transformer_base::args::creator> c = category(cat).argsCreator();
    if (!c) {
        std::ostringstream os;
        os << " cannot create transformer args (category: " << cat << ")";
        Utils::raise_runtime_error(os.str());
    }
    if (binary) {
        serial::serial_in sin(in);
        return c->create(sin);
    }
    return c->create(in);
}

// ======================================================= the process registry

namespace {

// The registry's storage and guard, zero-initialised before any code of the
// library runs, so instance() works from any unit's static initialisation.
struct registry_slot {
    alignas(field_transformer_manager) unsigned char bytes[sizeof(field_transformer_manager)];
    bool made;
    unsigned generation;
};

registry_slot& slot() {
    static registry_slot s;
    return s;
}

field_transformer_manager* slotRegistry() {
    return std::launder(reinterpret_cast<field_transformer_manager*>(slot().bytes));
}

extern "C" void destroyRegistryAtUnload() { field_transformer_manager::destroyInstance(); }

}  // namespace

field_transformer_manager& field_transformer_manager::instance() {
    registry_slot& s = slot();
    if (!s.made) {
        new (s.bytes) field_transformer_manager;
        s.made = true;
        ++s.generation;
        // Registered now, so it runs after the destructors of every static
        // built from here on, which includes every registration object.
        std::atexit(&destroyRegistryAtUnload);
    }
    return *slotRegistry();
}

void field_transformer_manager::destroyInstance() {
    registry_slot& s = slot();
    if (!s.made) return;
    s.made = false;
    slotRegistry()->~field_transformer_manager();
}

bool field_transformer_manager::isLive(const field_transformer_manager* registry, unsigned generation) {
    const registry_slot& s = slot();
    return s.made && s.generation == generation && registry == slotRegistry();
}

unsigned field_transformer_manager::generation() { return slot().generation; }

// ================================================================ registrations

field_transformer_base::registration::registration(const std::string& category,
                                                   const pointer<field_transformer_base::creator>& c)
    : m_registry(&field_transformer_manager::instance()),
      m_category(category),
      m_type(c->name()),
      m_generation(field_transformer_manager::generation()) {
    m_registry->registerTransformerCreator(m_category, c);
}

field_transformer_base::registration::~registration() {
    if (m_registry && field_transformer_manager::isLive(m_registry, m_generation))
        m_registry->unregisterTransformerCreator(m_category, m_type);
}

field_transformer_base::args::registration::registration(
    const std::string& category, const pointer<field_transformer_base::args::creator>& c)
    : m_registry(&field_transformer_manager::instance()),
      m_category(category),
      m_generation(field_transformer_manager::generation()) {
    m_registry->registerArgsCreator(m_category, c);
}

field_transformer_base::args::registration::~registration() {
    if (m_registry && field_transformer_manager::isLive(m_registry, m_generation))
        m_registry->unregisterArgsCreator(m_category);
}

}  // namespace Orvex
