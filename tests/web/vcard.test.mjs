// vCards through the page: an old phone's file imported with its report,
// imported again to update, and the phonebook exported.
import assert from 'node:assert/strict';
import { mkdtempSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { webSuite, listedNames, contactList } from './fixture.mjs';

const suite = webSuite();
const dir = mkdtempSync(join(tmpdir(), 'zeb-web-vcard-'));

/* A file of cards with CRLF line ends, written for the upload. */
function vcf(name, lines) {
  writeFileSync(join(dir, name), lines.join('\r\n') + '\r\n');
  return join(dir, name);
}

// As a 2.1 phone writes it: quoted-printable UTF-8 with a soft line break,
// Latin-1 in quoted-printable, and a card of an unknown version whose name
// is markup.
const OLD_PHONE = vcf('old-phone.vcf', [
  'BEGIN:VCARD', 'VERSION:2.1',
  'N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=BCrgen',
  'FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BC=', 'ller',
  'TEL;CELL;PREF:+49 171 1234567', 'EMAIL;INTERNET:juergen@mueller.example', 'END:VCARD',
  'BEGIN:VCARD', 'VERSION:2.1',
  'N;ENCODING=QUOTED-PRINTABLE;CHARSET=ISO-8859-1:=C4rger;Bj=F6rn',
  'FN;ENCODING=QUOTED-PRINTABLE;CHARSET=ISO-8859-1:Bj=F6rn =C4rger',
  'TEL;HOME:0221 55 44 33', 'END:VCARD',
  'BEGIN:VCARD', 'VERSION:9', 'FN:<img src=x onerror=alert(3)>', 'END:VCARD',
]);

const AGAIN = vcf('again.vcf', [
  'BEGIN:VCARD', 'VERSION:3.0', 'FN:Jürgen Müller', 'N:Müller;Jürgen;;;', 'TITLE:Meister',
  'TEL;TYPE=CELL,PREF:+49 171 1234567', 'EMAIL;TYPE=INTERNET:juergen@mueller.example', 'END:VCARD',
]);

async function upload(page, file, update) {
  await page.getByLabel('vCard file').setInputFiles(file);
  await page.getByRole('checkbox', { name: 'Update existing contacts' }).setChecked(update);
  const answered = page.waitForResponse((r) => r.url().includes('/vcard') && r.request().method() === 'POST');
  await page.getByRole('button', { name: 'Import', exact: true }).click();
  await answered;
  const report = page.getByRole('region', { name: 'Import report' });
  await report.waitFor();
  return report;
}

/* "Added: 2" or "2 added", as the report words it (case ignored; the
 * report's lines may run together in its text). */
const counted = (word, n) => new RegExp(`${word}\\D{0,20}(?<!\\d)${n}(?!\\d)|(?<!\\d)${n}(?!\\d)\\D{0,20}${word}`, 'i');

suite.test('a 2.1 file is imported with its report, again to update, and exported', async (session, servers) => {
  const page = await session.openAs('admin');
  let report = await upload(page, OLD_PHONE, false);
  await report.filter({ hasText: counted('added', 2) }).waitFor();
  const text = await report.innerText();
  assert.match(text, counted('refused', 1));
  assert.ok(text.includes('<img src=x onerror=alert(3)>'), 'the refused card\'s name, as text');
  assert.match(text, /VERSION 9/, 'the reason');

  await contactList(page).getByRole('button', { name: 'Jürgen Müller' }).waitFor();
  assert.deepEqual(await listedNames(page), ['Björn Ärger', 'Jürgen Müller']);

  // With the update, a card of a known name changes its contact.
  report = await upload(page, AGAIN, true);
  await report.filter({ hasText: counted('updated', 1) }).waitFor();
  assert.equal(await servers.call('getNumberOfContacts'), 2, 'duplicates');
  assert.equal((await servers.call('getContact', { formattedName: 'Jürgen Müller' })).title, 'Meister');

  // The export link asks for the version chosen (the bytes are the bridge's).
  await page.getByRole('combobox', { name: 'vCard version' }).selectOption('4.0');
  const [download] = await Promise.all([page.waitForEvent('download'), page.getByRole('link', { name: 'Export' }).click()]);
  assert.match(download.url(), /\/vcard\?(.*&)?version=4\.0(&|$)/);
});
