// Brakvold Plus: options of QRTBKPLS.MCV and the game's ini settings.
#include <stdlib.h>
#include <string.h>

#include "frame/frame.h"

int32_t opt_desccrd = 0, opt_desccop = 0, opt_descday = 0;
int32_t opt_lifecrd = 0, opt_lifecop = 0, opt_lifeday = 0;
uint32_t opt_agediv = 1;
int32_t opt_agebase = 0, opt_desclns = 1;
uint8_t opt_autoapprove = 0;
char* opt_appruid = nullptr;
char* opt_regpfx = nullptr;
char* opt_lookcmd = nullptr;
char* opt_purchase_mail_uid = nullptr;
uint8_t opt_email_only = 0;

static void release(char** held)
{
    if (*held != nullptr) {
        galfree(*held);
        *held = nullptr;
    }
}

// Every held string back to the host's allocator (the finish routine).
void plus_release_options(void)
{
    release(&opt_appruid);
    release(&opt_regpfx);
    release(&opt_lookcmd);
    release(&opt_purchase_mail_uid);
    opt_email_only = 0;
}

PLUS_EXPORT void reload__qrtbkpls(void)
{
    setmbk(plus_msg);

    opt_desccrd = lngopt(DESCCRD, DESCCRD_FLOOR, DESCCRD_CEILING);
    opt_desccop = lngopt(DESCCOP, DESCCOP_FLOOR, DESCCOP_CEILING);
    opt_descday = numopt(DESCDAY, DESCDAY_FLOOR, DESCDAY_CEILING);
    opt_lifecrd = lngopt(LIFECRD, LIFECRD_FLOOR, LIFECRD_CEILING);
    opt_lifecop = lngopt(LIFECOP, LIFECOP_FLOOR, LIFECOP_CEILING);
    opt_lifeday = numopt(LIFEDAY, LIFEDAY_FLOOR, LIFEDAY_CEILING);
    opt_agediv = (uint32_t)numopt(AGEDIV, AGEDIV_FLOOR, AGEDIV_CEILING);
    opt_desclns = numopt(DESCLNS, DESCLNS_FLOOR, DESCLNS_CEILING);

    opt_autoapprove = ynopt(DESCAPP) ? 0 : 1;

    release(&opt_appruid);
    opt_appruid = stgopt(APPRUID);
    if (opt_appruid != nullptr && opt_appruid[0] == '\0') {
        release(&opt_appruid);
    }

    release(&opt_regpfx);
    opt_regpfx = stgopt(REGPFX);

    opt_agebase = numopt(AGEBASE, AGEBASE_FLOOR, AGEBASE_CEILING);

    release(&opt_lookcmd);
    opt_lookcmd = stgopt(LOOKCMD);

    rstmbk();
    reload_ini_settings();
}

PLUS_EXPORT void reload_ini_settings(void)
{
    release(&opt_purchase_mail_uid);
    opt_email_only = 0;

    const char* uid = get_mud_ini_value("PLUS_PURCHASE_EMAIL_USERID");
    if (uid != nullptr) {
        size_t length = strlen(uid);
        opt_purchase_mail_uid = (char*)alczer(length + 1);
        strcpy(opt_purchase_mail_uid, uid);
    }

    // Mail-only mode needs somebody to mail: an empty user-ID leaves it off.
    const char* send = get_mud_ini_value("SEND_EMAIL_FOR_PURCHASES");
    if (send != nullptr && opt_purchase_mail_uid != nullptr && opt_purchase_mail_uid[0] != '\0' &&
        atol(send) != 0) {
        BKLog("Brakvold Plus: Note that *only* email (to %s) will be sent for purchases "
              "of lives and descriptions\r\n",
              opt_purchase_mail_uid);
        opt_email_only = 1;
    }
}
