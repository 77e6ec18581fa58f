// The page's start: login and logout, the session's roles, the event
// stream, the language switch.
import { rpc, call, setReloginHandler } from './rpc.js';
import { $, el, clearAnnouncement } from './dom.js';
import { tr, translatePage, setLanguage, otherLanguage } from './i18n.js';
import { session } from './contact.js';
import { initList, reset, refresh, showLetters } from './list.js';
import { showCard, closePanel, contactEvent, reloadPanel, panel } from './card.js';
import { showEditor } from './editor.js';
import { initTools } from './tools.js';

const PERMISSION_DENIED = 0x1000d;
const CONTACT_EVENTS = ['contactCreated', 'contactUpdated', 'contactDeleted'];
const REFRESH_DELAY_MS = 100;
// The phonebook holds back a burst's notifications for up to 1.2 s and drops
// those of a contact added and removed within it, so the page looks once more
// after the burst has surely ended.
const SETTLE_DELAY_MS = 1500;
const MAX_REOPEN_DELAY_MS = 60000;

let running = false;
let loginWaiters = [];
let events = null;
let refreshTimer = 0;
let settleTimer = 0;
let streamFailures = 0;

// Whether the session's roles may change contacts: a modify of the contact
// with the empty identifier, which no contact has, changes nothing and is
// refused only for lack of permission.
async function mayEdit() {
  try {
    await call('modifyContactByUniqueID', { uniqueID: '', contact: {} });
    return true;
  } catch (refusal) {
    return refusal.code !== PERMISSION_DENIED;
  }
}

function scheduleRefresh() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, REFRESH_DELAY_MS);
  clearTimeout(settleTimer);
  settleTimer = setTimeout(refresh, SETTLE_DELAY_MS);
}

function onContact(name, event) {
  let data = null;
  try {
    data = JSON.parse(event.data);
  } catch {
    return;
  }
  contactEvent(name, data && data.parameters && data.parameters.contact);
  scheduleRefresh();
}

async function checkSession() {
  if (!running) return;
  try {
    await rpc('session');
    openEvents();
  } catch {
    setTimeout(checkSession, 3000);
  }
}

function openEvents() {
  if (events) events.close();
  events = new EventSource('/events?path=Phonebook');
  for (const name of CONTACT_EVENTS) events.addEventListener(name, (e) => onContact(name, e));
  events.addEventListener('reset', () => {
    scheduleRefresh();
    reloadPanel();
  });
  const stream = events;
  events.onopen = () => {
    streamFailures = 0;
  };
  // Closed for good (no session, too many streams): ask again, later each time.
  events.onerror = () => {
    if (stream !== events || stream.readyState !== EventSource.CLOSED) return;
    const delay = Math.min(MAX_REOPEN_DELAY_MS, 500 * 2 ** streamFailures++);
    setTimeout(checkSession, delay);
  };
}

function showLogin(again) {
  $('login-note').hidden = !again;
  $('login-alert').replaceChildren();
  $('login-password').value = '';
  if (!$('login').open) $('login').showModal();
  $(again && $('login-user').value ? 'login-password' : 'login-user').focus();
}

function relogin() {
  return new Promise((resolve) => {
    loginWaiters.push(resolve);
    showLogin(true);
  });
}

async function started(result) {
  session.user = result.user;
  tr($('who'), 'signedIn', { user: session.user });
  $('app').hidden = false;
  $('logout').hidden = false;
  const first = !running;
  running = true;
  if (first) $('search').focus();
  const locale = rpc('get', { path: 'Phonebook.SortLocale' }).catch(() => '');
  const [canEdit, sortLocale] = await Promise.all([mayEdit(), locale, first ? reset() : null]);
  showLetters(typeof sortLocale === 'string' ? sortLocale : '');
  session.canEdit = canEdit;
  document.querySelectorAll('.edit-only').forEach((node) => {
    node.hidden = !canEdit;
  });
  if (!first && panel.mode === 'card') showCard(panel.contact, { focus: false });
  openEvents();
  const waiters = loginWaiters;
  loginWaiters = [];
  waiters.forEach((resolve) => resolve());
}

async function submitLogin(event) {
  event.preventDefault();
  const button = $('login-submit');
  button.disabled = true;
  try {
    const user = $('login-user').value;
    const result = await rpc('login', { user, password: $('login-password').value }, { allowRelogin: false });
    $('login-password').value = '';
    $('login').close();
    await started(result);
  } catch (refusal) {
    $('login-alert').replaceChildren(tr(el('span'), refusal.key, refusal.params));
    $('login-password').focus();
  } finally {
    button.disabled = false;
  }
}

async function logout() {
  try {
    await rpc('logout', null, { allowRelogin: false });
  } catch {
    // The session is gone either way.
  }
  if (events) events.close();
  events = null;
  running = false;
  closePanel(null);
  clearAnnouncement();
  $('list').replaceChildren();
  $('report').hidden = true;
  $('lookup-text').replaceChildren();
  $('app').hidden = true;
  $('logout').hidden = true;
  $('who').replaceChildren();
  showLogin(false);
}

function showLanguage() {
  tr($('lang'), 'langSwitch');
  $('lang').lang = otherLanguage();
}

function init() {
  translatePage();
  showLanguage();
  initList((contact) => {
    clearAnnouncement();
    showCard(contact);
  });
  initTools();
  setReloginHandler(relogin);
  $('login-form').addEventListener('submit', submitLogin);
  // The login cannot be dismissed: there is nothing to go back to.
  $('login').addEventListener('cancel', (event) => event.preventDefault());
  $('logout').addEventListener('click', logout);
  $('new').addEventListener('click', () => showEditor());
  $('lang').addEventListener('click', () => {
    setLanguage(otherLanguage());
    showLanguage();
  });
  rpc('session', null, { allowRelogin: false }).then(started, () => showLogin(false));
}

init();
