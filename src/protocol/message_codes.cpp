/* Names of the message codes: the core protocol's table and the list of resolvers that
 * name the codes of other programs. */
#include <qorvel.h>

#include "sync/lock_guard.h"

namespace {

/* Name of code c at index c - QVCP_FIRST_NAMED_CODE. */
const wchar_t *const s_codeNames[] = {
    L"CMD_LOGIN",                          // 0x0001
    L"CMD_LOGIN_RESP",                     // 0x0002
    L"CMD_KEEPALIVE",                      // 0x0003
    L"CMD_OPEN_HELPDESK_ISSUE",            // 0x0004
    L"CMD_GET_OBJECTS",                    // 0x0005
    L"CMD_OBJECT",                         // 0x0006
    L"CMD_DELETE_OBJECT",                  // 0x0007
    L"CMD_MODIFY_OBJECT",                  // 0x0008
    L"CMD_OBJECT_LIST_END",                // 0x0009
    L"CMD_OBJECT_UPDATE",                  // 0x000A
    L"<unused>0x000B",                     // 0x000B
    L"CMD_EVENTLOG_RECORDS",               // 0x000C
    L"CMD_GET_CONFIG_VARLIST",             // 0x000D
    L"CMD_SET_CONFIG_VARIABLE",            // 0x000E
    L"CMD_GET_OBJECT_TOOLS",               // 0x000F
    L"CMD_EXECUTE_ACTION",                 // 0x0010
    L"CMD_DELETE_CONFIG_VARIABLE",         // 0x0011
    L"CMD_NOTIFY",                         // 0x0012
    L"CMD_TRAP",                           // 0x0013
    L"CMD_OPEN_EPP",                       // 0x0014
    L"CMD_CLOSE_EPP",                      // 0x0015
    L"CMD_SAVE_EPP",                       // 0x0016
    L"CMD_EPP_RECORD",                     // 0x0017
    L"CMD_EVENT_DB_UPDATE",                // 0x0018
    L"CMD_TRAP_CFG_UPDATE",                // 0x0019
    L"CMD_SET_EVENT_INFO",                 // 0x001A
    L"CMD_EVENT_DB_RECORD",                // 0x001B
    L"CMD_LOAD_EVENT_DB",                  // 0x001C
    L"CMD_REQUEST_COMPLETED",              // 0x001D
    L"CMD_LOAD_USER_DB",                   // 0x001E
    L"CMD_USER_DATA",                      // 0x001F
    L"CMD_GROUP_DATA",                     // 0x0020
    L"CMD_USER_DB_EOF",                    // 0x0021
    L"CMD_UPDATE_USER",                    // 0x0022
    L"CMD_DELETE_USER",                    // 0x0023
    L"CMD_CREATE_USER",                    // 0x0024
    L"CMD_LOCK_USER_DB",                   // 0x0025
    L"CMD_UNLOCK_USER_DB",                 // 0x0026
    L"CMD_USER_DB_UPDATE",                 // 0x0027
    L"CMD_SET_PASSWORD",                   // 0x0028
    L"CMD_GET_NODE_DCI_LIST",              // 0x0029
    L"CMD_NODE_DCI",                       // 0x002A
    L"CMD_GET_LOG_DATA",                   // 0x002B
    L"CMD_DELETE_NODE_DCI",                // 0x002C
    L"CMD_MODIFY_NODE_DCI",                // 0x002D
    L"CMD_UNLOCK_NODE_DCI_LIST",           // 0x002E
    L"CMD_SET_OBJECT_MGMT_STATUS",         // 0x002F
    L"CMD_CREATE_NEW_DCI",                 // 0x0030
    L"CMD_GET_DCI_DATA",                   // 0x0031
    L"CMD_DCI_DATA",                       // 0x0032
    L"CMD_GET_MIB_TIMESTAMP",              // 0x0033
    L"CMD_GET_MIB",                        // 0x0034
    L"CMD_TEST_DCI_TRANSFORMATION",        // 0x0035
    L"CMD_GET_JOB_LIST",                   // 0x0036
    L"CMD_CREATE_OBJECT",                  // 0x0037
    L"CMD_GET_EVENT_NAMES",                // 0x0038
    L"CMD_EVENT_NAME_LIST",                // 0x0039
    L"CMD_BIND_OBJECT",                    // 0x003A
    L"CMD_UNBIND_OBJECT",                  // 0x003B
    L"CMD_UNINSTALL_AGENT_POLICY",         // 0x003C
    L"CMD_OPEN_SERVER_LOG",                // 0x003D
    L"CMD_CLOSE_SERVER_LOG",               // 0x003E
    L"CMD_QUERY_LOG",                      // 0x003F
    L"CMD_AUTHENTICATE",                   // 0x0040
    L"CMD_GET_PARAMETER",                  // 0x0041
    L"CMD_GET_LIST",                       // 0x0042
    L"CMD_ACTION",                         // 0x0043
    L"CMD_GET_CURRENT_USER_ATTR",          // 0x0044
    L"CMD_SET_CURRENT_USER_ATTR",          // 0x0045
    L"CMD_GET_ALL_ALARMS",                 // 0x0046
    L"CMD_GET_ALARM_COMMENTS",             // 0x0047
    L"CMD_ACK_ALARM",                      // 0x0048
    L"CMD_ALARM_UPDATE",                   // 0x0049
    L"CMD_ALARM_DATA",                     // 0x004A
    L"CMD_DELETE_ALARM",                   // 0x004B
    L"CMD_ADD_CLUSTER_NODE",               // 0x004C
    L"CMD_GET_POLICY_INVENTORY",           // 0x004D
    L"CMD_LOAD_ACTIONS",                   // 0x004E
    L"CMD_ACTION_DB_UPDATE",               // 0x004F
    L"CMD_MODIFY_ACTION",                  // 0x0050
    L"CMD_CREATE_ACTION",                  // 0x0051
    L"CMD_DELETE_ACTION",                  // 0x0052
    L"CMD_ACTION_DATA",                    // 0x0053
    L"CMD_SETUP_AGENT_TUNNEL",             // 0x0054
    L"CMD_EXECUTE_LIBRARY_SCRIPT",         // 0x0055
    L"CMD_GET_PREDICTION_ENGINES",         // 0x0056
    L"CMD_GET_PREDICTED_DATA",             // 0x0057
    L"CMD_STOP_SERVER_COMMAND",            // 0x0058
    L"CMD_POLL_NODE",                      // 0x0059
    L"CMD_POLLING_INFO",                   // 0x005A
    L"CMD_COPY_DCI",                       // 0x005B
    L"CMD_WAKEUP_NODE",                    // 0x005C
    L"CMD_DELETE_EVENT_TEMPLATE",          // 0x005D
    L"CMD_GENERATE_EVENT_CODE",            // 0x005E
    L"CMD_FIND_NODE_CONNECTION",           // 0x005F
    L"CMD_FIND_MAC_LOCATION",              // 0x0060
    L"CMD_CREATE_TRAP",                    // 0x0061
    L"CMD_MODIFY_TRAP",                    // 0x0062
    L"CMD_DELETE_TRAP",                    // 0x0063
    L"CMD_LOAD_TRAP_CFG",                  // 0x0064
    L"CMD_TRAP_CFG_RECORD",                // 0x0065
    L"CMD_QUERY_PARAMETER",                // 0x0066
    L"CMD_GET_SERVER_INFO",                // 0x0067
    L"CMD_SET_DCI_STATUS",                 // 0x0068
    L"CMD_FILE_DATA",                      // 0x0069
    L"CMD_TRANSFER_FILE",                  // 0x006A
    L"CMD_UPGRADE_AGENT",                  // 0x006B
    L"CMD_GET_PACKAGE_LIST",               // 0x006C
    L"CMD_PACKAGE_INFO",                   // 0x006D
    L"CMD_REMOVE_PACKAGE",                 // 0x006E
    L"CMD_INSTALL_PACKAGE",                // 0x006F
    L"0x0070",                             // 0x0070
    L"0x0071",                             // 0x0071
    L"CMD_ABORT_FILE_TRANSFER",            // 0x0072
    L"CMD_CHECK_NETWORK_SERVICE",          // 0x0073
    L"CMD_GET_AGENT_CONFIG",               // 0x0074
    L"CMD_UPDATE_AGENT_CONFIG",            // 0x0075
    L"CMD_GET_PARAMETER_LIST",             // 0x0076
    L"CMD_DEPLOY_PACKAGE",                 // 0x0077
    L"CMD_INSTALLER_INFO",                 // 0x0078
    L"CMD_GET_LAST_VALUES",                // 0x0079
    L"CMD_APPLY_TEMPLATE",                 // 0x007A
    L"CMD_SET_USER_VARIABLE",              // 0x007B
    L"CMD_GET_USER_VARIABLE",              // 0x007C
    L"CMD_ENUM_USER_VARIABLES",            // 0x007D
    L"CMD_DELETE_USER_VARIABLE",           // 0x007E
    L"CMD_ADM_MESSAGE",                    // 0x007F
    L"CMD_ADM_REQUEST",                    // 0x0080
    L"CMD_GET_NETWORK_PATH",               // 0x0081
    L"CMD_REQUEST_SESSION_KEY",            // 0x0082
    L"CMD_ENCRYPTED_MESSAGE",              // 0x0083
    L"CMD_SESSION_KEY",                    // 0x0084
    L"CMD_REQUEST_ENCRYPTION",             // 0x0085
    L"CMD_GET_ROUTING_TABLE",              // 0x0086
    L"CMD_EXEC_TABLE_TOOL",                // 0x0087
    L"CMD_TABLE_DATA",                     // 0x0088
    L"CMD_CANCEL_JOB",                     // 0x0089
    L"CMD_CHANGE_SUBSCRIPTION",            // 0x008A
    L"CMD_SET_CONFIG_TO_DEFAULT",          // 0x008B
    L"CMD_SYSLOG_RECORDS",                 // 0x008C
    L"CMD_JOB_CHANGE_NOTIFICATION",        // 0x008D
    L"CMD_DEPLOY_AGENT_POLICY",            // 0x008E
    L"CMD_LOG_DATA",                       // 0x008F
    L"CMD_GET_OBJECT_TOOL_DETAILS",        // 0x0090
    L"CMD_EXECUTE_SERVER_COMMAND",         // 0x0091
    L"CMD_UPLOAD_FILE_TO_AGENT",           // 0x0092
    L"CMD_UPDATE_OBJECT_TOOL",             // 0x0093
    L"CMD_DELETE_OBJECT_TOOL",             // 0x0094
    L"CMD_SETUP_PROXY_CONNECTION",         // 0x0095
    L"CMD_GENERATE_OBJECT_TOOL_ID",        // 0x0096
    L"CMD_GET_SERVER_STATS",               // 0x0097
    L"CMD_GET_SCRIPT_LIST",                // 0x0098
    L"CMD_GET_SCRIPT",                     // 0x0099
    L"CMD_UPDATE_SCRIPT",                  // 0x009A
    L"CMD_DELETE_SCRIPT",                  // 0x009B
    L"CMD_RENAME_SCRIPT",                  // 0x009C
    L"CMD_GET_SESSION_LIST",               // 0x009D
    L"CMD_KILL_SESSION",                   // 0x009E
    L"<unused>0x009F",                     // 0x009F
    L"CMD_TRAP_LOG_RECORDS",               // 0x00A0
    L"CMD_START_SNMP_WALK",                // 0x00A1
    L"CMD_SNMP_WALK_DATA",                 // 0x00A2
    L"CMD_GET_MAP_LIST",                   // 0x00A3
    L"CMD_LOAD_MAP",                       // 0x00A4
    L"CMD_SAVE_MAP",                       // 0x00A5
    L"CMD_DELETE_MAP",                     // 0x00A6
    L"CMD_RESOLVE_MAP_NAME",               // 0x00A7
    L"CMD_SUBMAP_DATA",                    // 0x00A8
    L"CMD_UPLOAD_SUBMAP_BK_IMAGE",         // 0x00A9
    L"CMD_GET_SUBMAP_BK_IMAGE",            // 0x00AA
    L"CMD_GET_MODULE_LIST",                // 0x00AB
    L"CMD_UPDATE_MODULE_INFO",             // 0x00AC
    L"CMD_COPY_USER_VARIABLE",             // 0x00AD
    L"CMD_RESOLVE_DCI_NAMES",              // 0x00AE
    L"CMD_GET_MY_CONFIG",                  // 0x00AF
    L"CMD_GET_AGENT_CFG_LIST",             // 0x00B0
    L"CMD_OPEN_AGENT_CONFIG",              // 0x00B1
    L"CMD_SAVE_AGENT_CONFIG",              // 0x00B2
    L"CMD_DELETE_AGENT_CONFIG",            // 0x00B3
    L"CMD_SWAP_AGENT_CONFIGS",             // 0x00B4
    L"CMD_TERMINATE_ALARM",                // 0x00B5
    L"CMD_GET_QVCP_CAPS",                  // 0x00B6
    L"CMD_QVCP_CAPS",                      // 0x00B7
    L"CMD_GET_OBJECT_COMMENTS",            // 0x00B8
    L"CMD_UPDATE_OBJECT_COMMENTS",         // 0x00B9
    L"CMD_ENABLE_AGENT_TRAPS",             // 0x00BA
    L"CMD_PUSH_DCI_DATA",                  // 0x00BB
    L"CMD_GET_ADDR_LIST",                  // 0x00BC
    L"CMD_SET_ADDR_LIST",                  // 0x00BD
    L"CMD_RESET_COMPONENT",                // 0x00BE
    L"CMD_GET_DCI_EVENTS_LIST",            // 0x00BF
    L"CMD_EXPORT_CONFIGURATION",           // 0x00C0
    L"CMD_IMPORT_CONFIGURATION",           // 0x00C1
    L"CMD_GET_TRAP_CFG_RO",                // 0x00C2
    L"CMD_SNMP_REQUEST",                   // 0x00C3
    L"CMD_GET_DCI_INFO",                   // 0x00C4
    L"CMD_GET_GRAPH_LIST",                 // 0x00C5
    L"CMD_SAVE_GRAPH",                     // 0x00C6
    L"CMD_DELETE_GRAPH",                   // 0x00C7
    L"CMD_GET_PERFTAB_DCI_LIST",           // 0x00C8
    L"CMD_ADD_CA_CERTIFICATE",             // 0x00C9
    L"CMD_DELETE_CERTIFICATE",             // 0x00CA
    L"CMD_GET_CERT_LIST",                  // 0x00CB
    L"CMD_UPDATE_CERT_COMMENTS",           // 0x00CC
    L"CMD_QUERY_L2_TOPOLOGY",              // 0x00CD
    L"CMD_AUDIT_RECORD",                   // 0x00CE
    L"CMD_GET_AUDIT_LOG",                  // 0x00CF
    L"CMD_SEND_SMS",                       // 0x00D0
    L"CMD_GET_COMMUNITY_LIST",             // 0x00D1
    L"CMD_UPDATE_COMMUNITY_LIST",          // 0x00D2
    L"CMD_GET_PERSISTENT_STORAGE",         // 0x00D3
    L"CMD_DELETE_PSTORAGE_VALUE",          // 0x00D4
    L"CMD_UPDATE_PSTORAGE_VALUE",          // 0x00D5
    L"CMD_GET_AGENT_TUNNELS",              // 0x00D6
    L"CMD_BIND_AGENT_TUNNEL",              // 0x00D7
    L"CMD_REQUEST_CERTIFICATE",            // 0x00D8
    L"CMD_NEW_CERTIFICATE",                // 0x00D9
    L"CMD_CREATE_MAP",                     // 0x00DA
    L"CMD_UPLOAD_FILE",                    // 0x00DB
    L"CMD_DELETE_FILE",                    // 0x00DC
    L"CMD_DELETE_REPORT_RESULTS",          // 0x00DD
    L"CMD_RENDER_REPORT",                  // 0x00DE
    L"CMD_EXECUTE_REPORT",                 // 0x00DF
    L"CMD_GET_REPORT_RESULTS",             // 0x00E0
    L"CMD_CONFIG_SET_CLOB",                // 0x00E1
    L"CMD_CONFIG_GET_CLOB",                // 0x00E2
    L"CMD_RENAME_MAP",                     // 0x00E3
    L"CMD_CLEAR_DCI_DATA",                 // 0x00E4
    L"CMD_GET_LICENSE",                    // 0x00E5
    L"CMD_CHECK_LICENSE",                  // 0x00E6
    L"CMD_RELEASE_LICENSE",                // 0x00E7
    L"CMD_ISC_CONNECT_TO_SERVICE",         // 0x00E8
    L"CMD_REGISTER_AGENT",                 // 0x00E9
    L"CMD_GET_SERVER_FILE",                // 0x00EA
    L"CMD_FORWARD_EVENT",                  // 0x00EB
    L"CMD_GET_USM_CREDENTIALS",            // 0x00EC
    L"CMD_UPDATE_USM_CREDENTIALS",         // 0x00ED
    L"CMD_GET_DCI_THRESHOLDS",             // 0x00EE
    L"CMD_GET_IMAGE",                      // 0x00EF
    L"CMD_CREATE_IMAGE",                   // 0x00F0
    L"CMD_DELETE_IMAGE",                   // 0x00F1
    L"CMD_MODIFY_IMAGE",                   // 0x00F2
    L"CMD_LIST_IMAGES",                    // 0x00F3
    L"CMD_LIST_SERVER_FILES",              // 0x00F4
    L"CMD_GET_TABLE",                      // 0x00F5
    L"CMD_QUERY_TABLE",                    // 0x00F6
    L"CMD_OPEN_CONSOLE",                   // 0x00F7
    L"CMD_CLOSE_CONSOLE",                  // 0x00F8
    L"CMD_GET_SELECTED_OBJECTS",           // 0x00F9
    L"CMD_GET_VLANS",                      // 0x00FA
    L"CMD_HOLD_JOB",                       // 0x00FB
    L"CMD_UNHOLD_JOB",                     // 0x00FC
    L"CMD_CHANGE_ZONE",                    // 0x00FD
    L"CMD_GET_AGENT_FILE",                 // 0x00FE
    L"CMD_GET_FILE_DETAILS",               // 0x00FF
    L"CMD_IMAGE_LIBRARY_UPDATE",           // 0x0100
    L"CMD_GET_NODE_COMPONENTS",            // 0x0101
    L"CMD_UPDATE_ALARM_COMMENT",           // 0x0102
    L"CMD_GET_ALARM",                      // 0x0103
    L"CMD_GET_TABLE_LAST_VALUES",          // 0x0104
    L"CMD_GET_TABLE_DCI_DATA",             // 0x0105
    L"CMD_GET_THRESHOLD_SUMMARY",          // 0x0106
    L"CMD_RESOLVE_ALARM",                  // 0x0107
    L"CMD_FIND_IP_LOCATION",               // 0x0108
    L"CMD_REPORT_DEVICE_STATUS",           // 0x0109
    L"CMD_REPORT_DEVICE_INFO",             // 0x010A
    L"CMD_GET_ALARM_EVENTS",               // 0x010B
    L"CMD_GET_ENUM_LIST",                  // 0x010C
    L"CMD_GET_TABLE_LIST",                 // 0x010D
    L"CMD_GET_MAPPING_TABLE",              // 0x010E
    L"CMD_UPDATE_MAPPING_TABLE",           // 0x010F
    L"CMD_DELETE_MAPPING_TABLE",           // 0x0110
    L"CMD_LIST_MAPPING_TABLES",            // 0x0111
    L"CMD_GET_NODE_SOFTWARE",              // 0x0112
    L"CMD_GET_WINPERF_OBJECTS",            // 0x0113
    L"CMD_GET_WIRELESS_STATIONS",          // 0x0114
    L"CMD_GET_SUMMARY_TABLES",             // 0x0115
    L"CMD_MODIFY_SUMMARY_TABLE",           // 0x0116
    L"CMD_DELETE_SUMMARY_TABLE",           // 0x0117
    L"CMD_GET_SUMMARY_TABLE_DETAILS",      // 0x0118
    L"CMD_QUERY_SUMMARY_TABLE",            // 0x0119
    L"CMD_SHUTDOWN",                       // 0x011A
    L"CMD_SNMP_TRAP",                      // 0x011B
    L"CMD_GET_SUBNET_ADDRESS_MAP",         // 0x011C
    L"CMD_FILE_MONITORING",                // 0x011D
    L"CMD_CANCEL_FILE_MONITORING",         // 0x011E
    L"CMD_CHANGE_OBJECT_TOOL_STATUS",      // 0x011F
    L"CMD_SET_ALARM_STATUS_FLOW",          // 0x0120
    L"CMD_DELETE_ALARM_COMMENT",           // 0x0121
    L"CMD_GET_EFFECTIVE_RIGHTS",           // 0x0122
    L"CMD_GET_DCI_VALUES",                 // 0x0123
    L"CMD_GET_HELPDESK_URL",               // 0x0124
    L"CMD_UNLINK_HELPDESK_ISSUE",          // 0x0125
    L"CMD_GET_FOLDER_CONTENT",             // 0x0126
    L"CMD_FILEMGR_DELETE_FILE",            // 0x0127
    L"CMD_FILEMGR_RENAME_FILE",            // 0x0128
    L"CMD_FILEMGR_MOVE_FILE",              // 0x0129
    L"CMD_FILEMGR_UPLOAD",                 // 0x012A
    L"CMD_GET_SWITCH_FDB",                 // 0x012B
    L"CMD_COMMAND_OUTPUT",                 // 0x012C
    L"CMD_GET_LOC_HISTORY",                // 0x012D
    L"CMD_TAKE_SCREENSHOT",                // 0x012E
    L"CMD_EXECUTE_SCRIPT",                 // 0x012F
    L"CMD_EXECUTE_SCRIPT_UPDATE",          // 0x0130
    L"CMD_FILEMGR_CREATE_FOLDER",          // 0x0131
    L"CMD_QUERY_ADHOC_SUMMARY_TABLE",      // 0x0132
    L"CMD_GRAPH_UPDATE",                   // 0x0133
    L"CMD_SET_SERVER_CAPABILITIES",        // 0x0134
    L"CMD_FORCE_DCI_POLL",                 // 0x0135
    L"CMD_GET_DCI_SCRIPT_LIST",            // 0x0136
    L"CMD_DATA_COLLECTION_CONFIG",         // 0x0137
    L"CMD_SET_SERVER_ID",                  // 0x0138
    L"CMD_GET_PUBLIC_CONFIG_VAR",          // 0x0139
    L"CMD_ENABLE_FILE_UPDATES",            // 0x013A
    L"CMD_DETACH_LDAP_USER",               // 0x013B
    L"CMD_VALIDATE_PASSWORD",              // 0x013C
    L"CMD_COMPILE_SCRIPT",                 // 0x013D
    L"CMD_CLEAN_AGENT_DCI_CONF",           // 0x013E
    L"CMD_RESYNC_AGENT_DCI_CONF",          // 0x013F
    L"CMD_LIST_SCHEDULE_CALLBACKS",        // 0x0140
    L"CMD_LIST_SCHEDULES",                 // 0x0141
    L"CMD_ADD_SCHEDULE",                   // 0x0142
    L"CMD_UPDATE_SCHEDULE",                // 0x0143
    L"CMD_REMOVE_SCHEDULE",                // 0x0144
    L"CMD_ENTER_MAINT_MODE",               // 0x0145
    L"CMD_LEAVE_MAINT_MODE",               // 0x0146
    L"CMD_JOIN_CLUSTER",                   // 0x0147
    L"CMD_CLUSTER_NOTIFY",                 // 0x0148
    L"CMD_ZMQ_SUBSCRIBE_EVENT",            // 0x0149
    L"CMD_ZMQ_UNSUBSCRIBE_EVENT",          // 0x014A
    L"CMD_ZMQ_SUBSCRIBE_DATA",             // 0x014B
    L"CMD_ZMQ_UNSUBSCRIBE_DATA",           // 0x014C
    L"CMD_ZMQ_GET_EVT_SUBSCRIPTIONS",      // 0x014D
    L"CMD_ZMQ_GET_DATA_SUBSCRIPTIONS",     // 0x014E
    L"CMD_GET_REPOSITORIES",               // 0x014F
    L"CMD_ADD_REPOSITORY",                 // 0x0150
    L"CMD_MODIFY_REPOSITORY",              // 0x0151
    L"CMD_DELETE_REPOSITORY",              // 0x0152
    L"CMD_GET_ALARM_CATEGORIES",           // 0x0153
    L"CMD_MODIFY_ALARM_CATEGORY",          // 0x0154
    L"CMD_DELETE_ALARM_CATEGORY",          // 0x0155
    L"CMD_ALARM_CATEGORY_UPDATE",          // 0x0156
    L"CMD_BULK_TERMINATE_ALARMS",          // 0x0157
    L"CMD_BULK_RESOLVE_ALARMS",            // 0x0158
    L"CMD_BULK_ALARM_STATE_CHANGE",        // 0x0159
    L"CMD_GET_FOLDER_SIZE",                // 0x015A
    L"CMD_FIND_HOSTNAME_LOCATION",         // 0x015B
    L"CMD_RESET_TUNNEL",                   // 0x015C
    L"CMD_CREATE_CHANNEL",                 // 0x015D
    L"CMD_CHANNEL_DATA",                   // 0x015E
    L"CMD_CLOSE_CHANNEL",                  // 0x015F
    L"CMD_CREATE_OBJECT_ACCESS_SNAPSHOT",  // 0x0160
    L"CMD_UNBIND_AGENT_TUNNEL",            // 0x0161
    L"CMD_RESTART",                        // 0x0162
    L"CMD_REGISTER_LORAWAN_SENSOR",        // 0x0163
    L"CMD_UNREGISTER_LORAWAN_SENSOR",      // 0x0164
    L"CMD_EXPAND_MACROS",                  // 0x0165
    L"CMD_EXECUTE_ACTION_WITH_EXPANSION",  // 0x0166
    L"CMD_HOST_BY_IP",                     // 0x0167
    L"CMD_CANCEL_FILE_DOWNLOAD",           // 0x0168
    L"CMD_FILEMGR_COPY_FILE",              // 0x0169
    L"CMD_QUERY_OBJECTS",                  // 0x016A
    L"CMD_QUERY_OBJECT_DETAILS",           // 0x016B
    L"CMD_SETUP_TCP_PROXY",                // 0x016C
    L"CMD_TCP_PROXY_DATA",                 // 0x016D
    L"CMD_CLOSE_TCP_PROXY",                // 0x016E
    L"0x016F",                             // 0x016F
    L"CMD_DELETE_DCI_ENTRY",               // 0x0170
    L"CMD_GET_ACTIVE_THRESHOLDS",          // 0x0171
    L"CMD_QUERY_INTERNAL_TOPOLOGY",        // 0x0172
    L"CMD_GET_ACTION_LIST",                // 0x0173
    L"CMD_PROXY_MESSAGE",                  // 0x0174
};

static_assert(sizeof(s_codeNames) / sizeof(s_codeNames[0]) == QVCP_LAST_NAMED_CODE - QVCP_FIRST_NAMED_CODE + 1,
              "one name per code of the table");

/* Room and grow step of the resolver list, in entries. */
constexpr int RESOLVER_LIST_STEP = 4;

/* The registered resolvers (not owned) and the lock every access takes. */
struct ResolverList
{
   Mutex lock;
   Array resolvers{RESOLVER_LIST_STEP, RESOLVER_LIST_STEP, false};
};

/* Made on first use and never destroyed, so that lookups from threads that outlive the
 * static destructors at exit still find it. */
ResolverList &Resolvers()
{
   static ResolverList *list = new ResolverList();
   return *list;
}

void *AsEntry(QVCPMessageNameResolver resolver)
{
   return reinterpret_cast<void *>(resolver);
}

}  // namespace

QV_API wchar_t *QVCPMessageCodeName(uint16_t code, wchar_t *buffer)
{
   if (code >= QVCP_FIRST_NAMED_CODE && code <= QVCP_LAST_NAMED_CODE)
   {
      wcslcpy(buffer, s_codeNames[code - QVCP_FIRST_NAMED_CODE], QVCP_CODE_NAME_BUFFER_SIZE);
      return buffer;
   }

   ResolverList &list = Resolvers();
   bool named = false;
   qv::sync::LockGuard lock(list.lock);
   // The size is read again on every step: a resolver may unregister resolvers.
   for (int i = 0; !named && i < list.resolvers.size(); i++)
   {
      auto resolver = reinterpret_cast<QVCPMessageNameResolver>(list.resolvers.get(i));
      named = resolver(code, buffer);
   }
   lock.release();

   if (!named)
      qv_snwprintf(buffer, QVCP_CODE_NAME_BUFFER_SIZE, L"CMD_0x%04X", code);
   return buffer;
}

QV_API void QVCPRegisterMessageNameResolver(QVCPMessageNameResolver resolver)
{
   if (resolver == nullptr)
      return;
   ResolverList &list = Resolvers();
   qv::sync::LockGuard lock(list.lock);
   if (list.resolvers.indexOf(AsEntry(resolver)) < 0)
      list.resolvers.add(AsEntry(resolver));
}

QV_API void QVCPUnregisterMessageNameResolver(QVCPMessageNameResolver resolver)
{
   ResolverList &list = Resolvers();
   qv::sync::LockGuard lock(list.lock);
   list.resolvers.remove(AsEntry(resolver));
}
