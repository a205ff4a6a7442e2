/* InetAddressList: an owning list of distinct addresses. */
#include <qv_data.h>

#include "platform/resolver.h"

#include <jansson.h>

using namespace qv::platform;

namespace {

/* Capacity and growth step of the entry array. */
constexpr int LIST_INITIAL_CAPACITY = 8;
constexpr int LIST_GROW_STEP = 8;

}  // namespace

namespace qv::data {

/* The one friend of InetAddressList. */
struct InetAddressListInternals
{
   /* Index of the first entry equal to addr (family and address), or -1. */
   static int indexOf(const InetAddressList *list, const InetAddress &addr);
};

}  // namespace qv::data

using qv::data::InetAddressListInternals;

InetAddressList::InetAddressList() : m_list(LIST_INITIAL_CAPACITY, LIST_GROW_STEP, true) {}

// The array's copy makes copies of the entries, so the two lists share nothing.
InetAddressList::InetAddressList(const InetAddressList &src) : m_list(src.m_list) {}

InetAddressList &InetAddressList::operator=(const InetAddressList &src)
{
   if (this != &src)
   {
      m_list.clear();
      for (int i = 0; i < src.m_list.size(); i++)
         m_list.add(new InetAddress(*src.m_list.get(i)));
   }
   return *this;
}

InetAddressList::~InetAddressList() {}

int InetAddressListInternals::indexOf(const InetAddressList *list, const InetAddress &addr)
{
   for (int i = 0; i < list->m_list.size(); i++)
   {
      if (list->m_list.get(i)->equals(addr))
         return i;
   }
   return -1;
}

bool InetAddressList::hasAddress(const InetAddress &addr) const
{
   return InetAddressListInternals::indexOf(this, addr) != -1;
}

void InetAddressList::add(const InetAddress &addr)
{
   if (InetAddressListInternals::indexOf(this, addr) == -1)
      m_list.add(new InetAddress(addr));
}

void InetAddressList::add(const InetAddressList &other)
{
   // Adding a list to itself adds nothing, and the size read each round stays right.
   for (int i = 0; i < other.m_list.size(); i++)
      add(*other.m_list.get(i));
}

void InetAddressList::remove(const InetAddress &addr)
{
   int index = InetAddressListInternals::indexOf(this, addr);
   if (index != -1)
      m_list.remove(index);
}

void InetAddressList::replace(const InetAddress &addr)
{
   int index = InetAddressListInternals::indexOf(this, addr);
   if (index != -1)
      m_list.get(index)->setMaskBits(addr.getMaskBits());
}

const InetAddress &InetAddressList::findAddress(const InetAddress &addr) const
{
   int index = InetAddressListInternals::indexOf(this, addr);
   return (index != -1) ? *m_list.get(index) : InetAddress::INVALID;
}

const InetAddress &InetAddressList::get(int index) const
{
   const InetAddress *entry = m_list.get(index);
   return (entry != nullptr) ? *entry : InetAddress::INVALID;
}

const InetAddress &InetAddressList::getFirstUnicastAddress() const
{
   for (int i = 0; i < m_list.size(); i++)
   {
      if (m_list.get(i)->isValidUnicast())
         return *m_list.get(i);
   }
   return InetAddress::INVALID;
}

const InetAddress &InetAddressList::getFirstUnicastAddressV4() const
{
   for (int i = 0; i < m_list.size(); i++)
   {
      const InetAddress *entry = m_list.get(i);
      if (entry->getFamily() == QV_AF_INET && entry->isValidUnicast())
         return *entry;
   }
   return InetAddress::INVALID;
}

const InetAddress &InetAddressList::findSameSubnetAddress(const InetAddress &addr) const
{
   for (int i = 0; i < m_list.size(); i++)
   {
      if (m_list.get(i)->sameSubnet(addr))
         return *m_list.get(i);
   }
   return InetAddress::INVALID;
}

bool InetAddressList::isLoopbackOnly() const
{
   if (m_list.size() == 0)
      return false;
   for (int i = 0; i < m_list.size(); i++)
   {
      if (!m_list.get(i)->isLoopback())
         return false;
   }
   return true;
}

json_t *InetAddressList::toJson() const
{
   json_t *array = json_array();
   if (array == nullptr)
      return nullptr;
   for (int i = 0; i < m_list.size(); i++)
   {
      json_t *entry = m_list.get(i)->toJson();
      // json_array_append_new releases the value itself when it fails.
      if (entry == nullptr || json_array_append_new(array, entry) != 0)
      {
         json_decref(array);
         return nullptr;
      }
   }
   return array;
}
