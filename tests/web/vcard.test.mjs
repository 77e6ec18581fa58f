// vCards through the page: an old phone's file imported with its report,
// imported again with and without updating, and the phonebook exported.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { webSuite, listedNames, contactList, shot } from './fixture.mjs';

const suite = webSuite(import.meta.filename);
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

suite.test('a 2.1 file is imported with its report, again without duplicates, and exported', async (session, servers) => {
  const page = await session.openAs('admin');
  let report = await upload(page, OLD_PHONE, false);
  await report.filter({ hasText: counted('added', 2) }).waitFor();
  const text = await report.innerText();
  assert.match(text, counted('refused', 1));
  assert.ok(text.includes('<img src=x onerror=alert(3)>'), 'the refused card\'s name, as text');
  assert.match(text, /VERSION 9/, 'the reason');
  assert.equal(await page.locator('img[src="x"]').count(), 0);
  assert.deepEqual(session.dialogs, []);
  await shot(page, 'import-report');

  await contactList(page).getByRole('button', { name: 'Jürgen Müller' }).waitFor();
  assert.deepEqual(await listedNames(page), ['Björn Ärger', 'Jürgen Müller']);

  // Without the update a known name is refused; with it the contact changes.
  const cases = [
    [false, [counted('added', 0), counted('refused', 1)], ''],
    [true, [counted('updated', 1)], 'Meister'],
  ];
  for (const [update, reported, title] of cases) {
    report = await upload(page, AGAIN, update);
    await reported.reduce((shown, hasText) => shown.filter({ hasText }), report).waitFor();
    assert.equal(await servers.call('getNumberOfContacts'), 2, `update ${update}: duplicates`);
    assert.equal((await servers.call('getContact', { formattedName: 'Jürgen Müller' })).title, title);
  }

  // The export downloads every contact as vCards of the version chosen.
  for (const version of ['4.0', '3.0']) {
    await page.getByRole('combobox', { name: 'vCard version' }).selectOption(version);
    const link = page.getByRole('link', { name: 'Export' });
    assert.match(await link.getAttribute('href'), new RegExp(`version=${version.replace('.', '\\.')}`));
    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    const file = join(dir, `export-${version}.vcf`);
    await download.saveAs(file);
    const text = readFileSync(file, 'utf8');
    assert.equal(text.match(/^BEGIN:VCARD/gm)?.length, 2, `${version}: cards`);
    assert.equal(text.match(new RegExp(`^VERSION:${version}`, 'gm'))?.length, 2);
    for (const name of ['Jürgen Müller', 'Björn Ärger'])
      assert.match(text, new RegExp(`^FN:${name}\\r?$`, 'm'), `${version}: ${name}`);
    assert.match(text, /1711234567/);
  }
});
