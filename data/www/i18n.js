// Every text of the page, one table per language. Elements that show a text
// carry its key (data-t), its parameters (data-tp, JSON) and, when the text
// goes into an attribute instead of the content, that attribute (data-ta), so
// that a change of language translates the page in place, typed input kept.

const en = {
  title: 'Phonebook',
  langSwitch: 'Deutsch',
  logout: 'Log out',
  signedIn: 'Signed in as {user}',
  'login.title': 'Log in',
  'login.again': 'Your session has ended. Log in again to go on; nothing you typed is lost.',
  'login.user': 'User name',
  'login.password': 'Password',
  'login.submit': 'Log in',
  search: 'Search',
  searchHint: 'Names, organisations, e-mail addresses or at least three digits of a number',
  jump: 'Jump to letter',
  contacts: 'Contacts',
  prev: 'Previous page',
  next: 'Next page',
  range: 'Contacts {first}–{last} of {total}',
  found: 'Found {first}–{last} of {total}',
  none: 'No contacts yet.',
  noneFound: 'Nothing found for “{text}”.',
  loading: 'Loading…',
  noName: '(no name)',
  new: 'New contact',
  edit: 'Edit',
  delete: 'Delete',
  save: 'Save',
  cancel: 'Cancel',
  close: 'Close',
  deleteAll: 'Delete all contacts',
  deleteAllConfirm: 'Delete all',
  'confirm.delete.title': 'Delete this contact?',
  'confirm.delete.text': '“{name}” will be removed from the phonebook.',
  'confirm.all1.title': 'Delete all contacts?',
  'confirm.all1.text': 'Every contact of the phonebook will be removed.',
  'confirm.all2.title': 'Really delete all contacts?',
  'confirm.all2.text': 'This cannot be undone. Export the phonebook first if you may need it again.',
  'card.uid': 'Identifier',
  'card.revision': 'Last changed',
  'card.preferred': 'preferred',
  'card.deleted': 'This contact was deleted elsewhere.',
  'card.changed': 'This contact was changed elsewhere while you edited it. Saving replaces that change.',
  formattedName: 'Formatted name',
  givenName: 'Given name',
  familyName: 'Family name',
  additionalNames: 'Additional names',
  prefixes: 'Honorific prefixes',
  suffixes: 'Honorific suffixes',
  organisation: 'Organisation',
  jobTitle: 'Title',
  birthDay: 'Birthday',
  url: 'URL',
  ringtone: 'Ringtone',
  tags: 'Tags',
  tagsHint: 'separated by commas',
  'editor.new': 'New contact',
  'editor.edit': 'Edit contact',
  'numbers.group': 'Numbers',
  'numbers.add': 'Add number',
  'numbers.value': 'Number {n}',
  'numbers.type': 'Number {n} type',
  'numbers.pref': 'Number {n} preferred',
  'numbers.remove': 'Remove number {n}',
  'emails.group': 'E-mails',
  'emails.add': 'Add e-mail',
  'emails.value': 'E-mail {n}',
  'emails.type': 'E-mail {n} type',
  'emails.pref': 'E-mail {n} preferred',
  'emails.remove': 'Remove e-mail {n}',
  'addresses.group': 'Addresses',
  'addresses.add': 'Add address',
  'addresses.value': 'Address {n}',
  'addresses.type': 'Address {n} type',
  'addresses.pref': 'Address {n} preferred',
  'addresses.remove': 'Remove address {n}',
  'labels.group': 'Labels',
  'labels.add': 'Add label',
  'labels.value': 'Label {n}',
  'labels.type': 'Label {n} type',
  'labels.pref': 'Label {n} preferred',
  'labels.remove': 'Remove label {n}',
  'photos.group': 'Photos',
  'photos.add': 'Add photo',
  'photos.value': 'Photo {n}',
  'photos.type': 'Photo {n} type',
  'photos.pref': 'Photo {n} preferred',
  'photos.remove': 'Remove photo {n}',
  'type.': '(no type)',
  'type.cell': 'mobile',
  'type.home': 'home',
  'type.work': 'work',
  'type.fax': 'fax',
  'type.pager': 'pager',
  'type.other': 'other',
  saved: 'Saved “{name}”.',
  deleted: 'Deleted “{name}”.',
  deletedAll: 'All contacts deleted.',
  tools: 'More',
  lookupTitle: 'Who is calling?',
  lookupLabel: 'Look up a number',
  lookupButton: 'Look up',
  lookupResult: 'Lookup result',
  lookupNone: 'No contact has this number.',
  lookupShow: 'Show contact',
  importTitle: 'Import vCards',
  importFile: 'vCard file',
  importUpdate: 'Update existing contacts',
  importButton: 'Import',
  importReport: 'Import report',
  'err.noFile': 'Choose a vCard file first.',
  importBusy: 'Importing…',
  'rep.added': 'Added: {n}',
  'rep.updated': 'Updated: {n}',
  'rep.unchanged': 'Unchanged: {n}',
  'rep.failed': 'Refused: {n}',
  'rep.numbers': 'Numbers rewritten to their dialable form: {n}',
  'rep.skipped': 'Properties left out: {n}',
  'rep.dropped': 'Unreadable numbers, e-mails, addresses left out: {n}',
  'rep.refusedItem': 'Line {line}, “{name}”: {reason}',
  'rep.warnings': 'Warnings',
  'rep.moreWarnings': '… and {n} more warnings',
  'rep.stopped': 'The import stopped early: {reason}',
  exportTitle: 'Export vCards',
  exportVersion: 'vCard version',
  exportLink: 'Export',
  'err.wrongLogin': 'Wrong user name or password.',
  'err.throttled': 'Too many failed attempts. Try again in {s} seconds.',
  'err.sessions': 'Too many people are logged in. Try again later.',
  'err.session': 'Your session has expired. Log in again.',
  'err.permission': 'You are not allowed to do this (your role may only read the phonebook).',
  'err.full': 'The phonebook is full: it holds at most {limit} contacts. Delete some first.',
  'err.nameTaken': 'Another contact is already called “{name}”. Choose another formatted name.',
  'err.number':
    'The phonebook cannot take the number “{number}”: use digits, with + or 00 for an international number.',
  'err.refused': 'The phonebook refused the contact: one of its values cannot be stored.',
  'err.noName': 'Give the contact a name.',
  'err.gone': 'This contact does not exist any more.',
  'err.tooLarge': 'That is too much for one request.',
  'err.file': 'The file cannot be read (line {line}): {reason}',
  'err.fileTooLarge': 'The file is too large (at most 16 MiB).',
  'err.network': 'The gateway cannot be reached. Check the connection and try again.',
  'err.busy': 'Too many requests at once. Try again in a moment.',
  'err.bus': 'The phonebook could not do this: {message}',
  'err.invalid': 'The phonebook did not understand the request: {message}',
  'err.unknown': 'Something went wrong ({code}).',
};

const de = {
  title: 'Telefonbuch',
  langSwitch: 'English',
  logout: 'Abmelden',
  signedIn: 'Angemeldet als {user}',
  'login.title': 'Anmelden',
  'login.again': 'Ihre Sitzung ist abgelaufen. Melden Sie sich wieder an; Ihre Eingaben bleiben erhalten.',
  'login.user': 'Benutzername',
  'login.password': 'Passwort',
  'login.submit': 'Anmelden',
  search: 'Suchen',
  searchHint: 'Namen, Firmen, E-Mail-Adressen oder mindestens drei Ziffern einer Nummer',
  jump: 'Zum Buchstaben springen',
  contacts: 'Kontakte',
  prev: 'Vorherige Seite',
  next: 'Nächste Seite',
  range: 'Kontakte {first}–{last} von {total}',
  found: 'Gefunden {first}–{last} von {total}',
  none: 'Noch keine Kontakte.',
  noneFound: 'Nichts gefunden für „{text}“.',
  loading: 'Wird geladen…',
  noName: '(ohne Namen)',
  new: 'Neuer Kontakt',
  edit: 'Bearbeiten',
  delete: 'Löschen',
  save: 'Speichern',
  cancel: 'Abbrechen',
  close: 'Schließen',
  deleteAll: 'Alle Kontakte löschen',
  deleteAllConfirm: 'Alle löschen',
  'confirm.delete.title': 'Diesen Kontakt löschen?',
  'confirm.delete.text': '„{name}“ wird aus dem Telefonbuch entfernt.',
  'confirm.all1.title': 'Alle Kontakte löschen?',
  'confirm.all1.text': 'Jeder Kontakt des Telefonbuchs wird entfernt.',
  'confirm.all2.title': 'Wirklich alle Kontakte löschen?',
  'confirm.all2.text':
    'Das lässt sich nicht rückgängig machen. Exportieren Sie das Telefonbuch vorher, falls Sie es noch brauchen.',
  'card.uid': 'Kennung',
  'card.revision': 'Zuletzt geändert',
  'card.preferred': 'bevorzugt',
  'card.deleted': 'Dieser Kontakt wurde anderswo gelöscht.',
  'card.changed':
    'Dieser Kontakt wurde anderswo geändert, während Sie ihn bearbeitet haben. Speichern ersetzt diese Änderung.',
  formattedName: 'Angezeigter Name',
  givenName: 'Vorname',
  familyName: 'Nachname',
  additionalNames: 'Weitere Vornamen',
  prefixes: 'Namenspräfixe',
  suffixes: 'Namenssuffixe',
  organisation: 'Firma',
  jobTitle: 'Position',
  birthDay: 'Geburtstag',
  url: 'Webseite',
  ringtone: 'Klingelton',
  tags: 'Schlagwörter',
  tagsHint: 'durch Kommas getrennt',
  'editor.new': 'Neuer Kontakt',
  'editor.edit': 'Kontakt bearbeiten',
  'numbers.group': 'Nummern',
  'numbers.add': 'Nummer hinzufügen',
  'numbers.value': 'Nummer {n}',
  'numbers.type': 'Nummer {n} Art',
  'numbers.pref': 'Nummer {n} bevorzugt',
  'numbers.remove': 'Nummer {n} entfernen',
  'emails.group': 'E-Mails',
  'emails.add': 'E-Mail hinzufügen',
  'emails.value': 'E-Mail {n}',
  'emails.type': 'E-Mail {n} Art',
  'emails.pref': 'E-Mail {n} bevorzugt',
  'emails.remove': 'E-Mail {n} entfernen',
  'addresses.group': 'Adressen',
  'addresses.add': 'Adresse hinzufügen',
  'addresses.value': 'Adresse {n}',
  'addresses.type': 'Adresse {n} Art',
  'addresses.pref': 'Adresse {n} bevorzugt',
  'addresses.remove': 'Adresse {n} entfernen',
  'labels.group': 'Etiketten',
  'labels.add': 'Etikett hinzufügen',
  'labels.value': 'Etikett {n}',
  'labels.type': 'Etikett {n} Art',
  'labels.pref': 'Etikett {n} bevorzugt',
  'labels.remove': 'Etikett {n} entfernen',
  'photos.group': 'Fotos',
  'photos.add': 'Foto hinzufügen',
  'photos.value': 'Foto {n}',
  'photos.type': 'Foto {n} Art',
  'photos.pref': 'Foto {n} bevorzugt',
  'photos.remove': 'Foto {n} entfernen',
  'type.': '(keine Art)',
  'type.cell': 'mobil',
  'type.home': 'privat',
  'type.work': 'geschäftlich',
  'type.fax': 'Fax',
  'type.pager': 'Pager',
  'type.other': 'sonstige',
  saved: '„{name}“ gespeichert.',
  deleted: '„{name}“ gelöscht.',
  deletedAll: 'Alle Kontakte gelöscht.',
  tools: 'Weiteres',
  lookupTitle: 'Wer ruft an?',
  lookupLabel: 'Nummer nachschlagen',
  lookupButton: 'Nachschlagen',
  lookupResult: 'Ergebnis der Suche nach der Nummer',
  lookupNone: 'Kein Kontakt hat diese Nummer.',
  lookupShow: 'Kontakt zeigen',
  importTitle: 'vCards importieren',
  importFile: 'vCard-Datei',
  importUpdate: 'Vorhandene Kontakte aktualisieren',
  importButton: 'Importieren',
  importReport: 'Importbericht',
  'err.noFile': 'Wählen Sie zuerst eine vCard-Datei.',
  importBusy: 'Wird importiert…',
  'rep.added': 'Hinzugefügt: {n}',
  'rep.updated': 'Aktualisiert: {n}',
  'rep.unchanged': 'Unverändert: {n}',
  'rep.failed': 'Abgelehnt: {n}',
  'rep.numbers': 'In wählbare Form umgeschriebene Nummern: {n}',
  'rep.skipped': 'Ausgelassene Eigenschaften: {n}',
  'rep.dropped': 'Unlesbare Nummern, E-Mails, Adressen ausgelassen: {n}',
  'rep.refusedItem': 'Zeile {line}, „{name}“: {reason}',
  'rep.warnings': 'Warnungen',
  'rep.moreWarnings': '… und {n} weitere Warnungen',
  'rep.stopped': 'Der Import brach vorzeitig ab: {reason}',
  exportTitle: 'vCards exportieren',
  exportVersion: 'vCard-Version',
  exportLink: 'Exportieren',
  'err.wrongLogin': 'Benutzername oder Passwort falsch.',
  'err.throttled': 'Zu viele Fehlversuche. Versuchen Sie es in {s} Sekunden wieder.',
  'err.sessions': 'Zu viele Personen sind angemeldet. Versuchen Sie es später wieder.',
  'err.session': 'Ihre Sitzung ist abgelaufen. Melden Sie sich wieder an.',
  'err.permission': 'Das dürfen Sie nicht (Ihre Rolle darf das Telefonbuch nur lesen).',
  'err.full': 'Das Telefonbuch ist voll: Es fasst höchstens {limit} Kontakte. Löschen Sie zuerst welche.',
  'err.nameTaken': 'Ein anderer Kontakt heißt bereits „{name}“. Wählen Sie einen anderen angezeigten Namen.',
  'err.number':
    'Das Telefonbuch kann die Nummer „{number}“ nicht aufnehmen: Verwenden Sie Ziffern, mit + oder 00 für eine internationale Nummer.',
  'err.refused': 'Das Telefonbuch hat den Kontakt abgelehnt: Einer seiner Werte lässt sich nicht speichern.',
  'err.noName': 'Geben Sie dem Kontakt einen Namen.',
  'err.gone': 'Diesen Kontakt gibt es nicht mehr.',
  'err.tooLarge': 'Das ist zu viel für eine Anfrage.',
  'err.file': 'Die Datei lässt sich nicht lesen (Zeile {line}): {reason}',
  'err.fileTooLarge': 'Die Datei ist zu groß (höchstens 16 MiB).',
  'err.network': 'Das Gateway ist nicht erreichbar. Prüfen Sie die Verbindung und versuchen Sie es erneut.',
  'err.busy': 'Zu viele Anfragen auf einmal. Versuchen Sie es gleich noch einmal.',
  'err.bus': 'Das Telefonbuch konnte das nicht tun: {message}',
  'err.invalid': 'Das Telefonbuch hat die Anfrage nicht verstanden: {message}',
  'err.unknown': 'Etwas ist schiefgegangen ({code}).',
};

const tables = { en, de };
const stored = localStorage.getItem('lang');

function fromBrowser() {
  for (const l of navigator.languages || [navigator.language || 'en']) {
    const base = String(l).toLowerCase().slice(0, 2);
    if (tables[base]) return base;
  }
  return 'en';
}

let lang = tables[stored] ? stored : fromBrowser();

export function language() {
  return lang;
}

// The text of key in the current language, with {name} replaced by
// params.name; a missing text falls back to English, then to the key.
export function t(key, params = {}) {
  const text = tables[lang][key] ?? en[key] ?? key;
  return text.replace(/\{(\w+)\}/g, (_, name) => String(params[name] ?? ''));
}

function render(node) {
  const params = node.dataset.tp ? JSON.parse(node.dataset.tp) : {};
  const text = t(node.dataset.t, params);
  // An unchanged text is left alone, so that live regions stay quiet.
  if (node.dataset.ta) node.setAttribute(node.dataset.ta, text);
  else if (node.textContent !== text) node.textContent = text;
}

// Gives node the text of key (into attribute attr when given) and keeps it
// translated on a change of language. Returns node.
export function tr(node, key, params, attr) {
  node.dataset.t = key;
  if (params) node.dataset.tp = JSON.stringify(params);
  else delete node.dataset.tp;
  if (attr) node.dataset.ta = attr;
  render(node);
  return node;
}

export function translatePage() {
  document.documentElement.lang = lang;
  document.querySelectorAll('[data-t]').forEach(render);
}

export function setLanguage(next) {
  lang = tables[next] ? next : 'en';
  localStorage.setItem('lang', lang);
  translatePage();
}

export function otherLanguage() {
  return lang === 'en' ? 'de' : 'en';
}
