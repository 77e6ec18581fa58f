// The contact as the page reads and writes it: the structured name's
// components, the birthday as a date, numbers in their dialable form.

export const session = { user: '', canEdit: false };

export const NAME_PARTS = ['familyName', 'givenName', 'additionalNames', 'prefixes', 'suffixes'];

// The phonebook's name text "Family;Given;Additional;Prefixes;Suffixes"
// split into its components; "\;" and "\\" stand for ";" and "\".
export function splitName(text) {
  const parts = [''];
  for (let i = 0; i < (text || '').length; i++) {
    const c = text[i];
    if (c === '\\' && i + 1 < text.length) parts[parts.length - 1] += text[++i];
    else if (c === ';') parts.push('');
    else parts[parts.length - 1] += c;
  }
  return Object.fromEntries(NAME_PARTS.map((part, i) => [part, parts[i] || '']));
}

export function joinName(components) {
  const parts = NAME_PARTS.map((part) => (components[part] || '').trim().replace(/[\\;]/g, '\\$&'));
  while (parts.length && !parts[parts.length - 1]) parts.pop();
  return parts.join(';');
}

// A formatted name made of the structured one, for a contact given none.
export function nameFromParts(c) {
  return [c.prefixes, c.givenName, c.additionalNames, c.familyName, c.suffixes]
    .map((s) => (s || '').trim())
    .filter(Boolean)
    .join(' ');
}

const NO_DATE = '1970-01-01';

// "YYYY-MM-DD" of a date-time, "" for one never set.
export function dateOf(dateTime) {
  const date = (dateTime || '').slice(0, 10);
  return date === NO_DATE ? '' : date;
}

export function dateTimeOf(date) {
  return `${date || NO_DATE}T00:00:00Z`;
}

// A number as typed or pasted, in the form the phonebook matches calls
// against: separators dropped, a "(0)" after an international code dropped.
export function dialable(text) {
  let s = (text || '').trim();
  if (/^(\+|00)/.test(s)) s = s.replace(/\(0\)/g, '');
  return s.replace(/[\s\u00a0\u2010-\u2015.\-/()]/g, '');
}

// Digits with an optional leading "+", "*", "#", the pauses p, w, "," and
// ";", and an extension ";ext=..." kept by imports.
export function isDialable(number) {
  return /^\+?[0-9*#pw,;]*[0-9][0-9*#pw,;]*(;ext=[0-9]+)?$/i.test(number);
}

export function tagsOf(text) {
  return text
    .split(',')
    .map((s) => s.trim())
    .filter(Boolean)
    .join(',');
}
