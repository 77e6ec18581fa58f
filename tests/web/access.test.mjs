// Who may do what in the page: logging in and out, a viewer's page, and a session
// that ends while something is being typed.
import assert from 'node:assert/strict';
import { webSuite, login, submitLogin, listedNames, contactList, openContact, sleep } from './fixture.mjs';

const suite = webSuite({
  setup: (servers) => servers.seed([
    { uniqueID: 'ann', formattedName: 'Ann Smith', title: 'Dr',
      telephoneNumbers: [{ name: '0611223344', type: 'cell', preferred: true }] },
  ]),
});

suite.test('a wrong login is refused in words; a viewer may not edit; a logout holds over a reload', async (session) => {
  const page = await session.open();
  for (const [user, password] of [['admin', 'wrong'], ['nobody', 'admin secret']]) {
    await submitLogin(page, user, password);
    const alert = page.getByRole('alert');
    await alert.waitFor();
    assert.match(await alert.innerText(), /\w{3,}/, `${user}/${password}: a message in words`);
    assert.equal(await page.getByRole('searchbox', { name: 'Search' }).count(), 0, `${user}/${password} got in`);
  }
  await login(page, 'viewer');
  await contactList(page).getByRole('button', { name: 'Ann Smith' }).waitFor();
  assert.deepEqual(await listedNames(page), ['Ann Smith']);
  assert.equal(await page.getByRole('alert').filter({ hasText: /password/i }).count(), 0,
    'the failed login\'s message stays after a good one');

  await openContact(page, 'Ann Smith');
  for (const name of ['New contact', 'Edit', 'Delete', 'Delete all contacts', 'Import'])
    assert.equal(await page.getByRole('button', { name, exact: true }).count(), 0, `a viewer sees "${name}"`);

  await page.getByRole('button', { name: 'Log out' }).click();
  await page.getByRole('button', { name: 'Log in' }).waitFor();
  await page.reload();
  await page.getByRole('button', { name: 'Log in' }).waitFor();
  assert.equal(await contactList(page).count(), 0, 'the list after logout and reload');
});

suite.test('an expired session brings back the login and keeps what was typed', async (session, servers) => {
  const baseURL = await servers.startHttpd({ sessionIdle: 4 });
  const page = await session.open({ baseURL });
  await login(page, 'editor');
  await page.getByRole('button', { name: 'New contact' }).click();
  await page.getByRole('textbox', { name: 'Formatted name' }).fill('Typed Before Expiry');
  await page.getByRole('textbox', { name: 'Organisation' }).fill('Plumbing Ltd');
  await sleep(5500);
  // The login comes back at the save, or before it when the page notices
  // the end of the session first.
  const user = page.getByRole('textbox', { name: 'User name' });
  if (!(await user.isVisible())) await page.getByRole('button', { name: 'Save' }).click();
  await user.waitFor();
  await submitLogin(page, 'editor');
  await user.waitFor({ state: 'hidden' });

  // The save goes on by itself after the login, or waits in the editor
  // with what was typed.
  const editor = page.getByRole('form', { name: 'New contact' });
  const stored = async () => (await servers.call('searchContacts', { text: 'Typed' })).total > 0;
  for (const deadline = Date.now() + 5000; !(await stored()) && Date.now() < deadline;) await sleep(100);
  if (!(await stored())) {
    assert.equal(await page.getByRole('textbox', { name: 'Formatted name' }).inputValue(), 'Typed Before Expiry');
    assert.equal(await page.getByRole('textbox', { name: 'Organisation' }).inputValue(), 'Plumbing Ltd');
    await editor.getByRole('button', { name: 'Save' }).click();
  }
  await editor.waitFor({ state: 'hidden' });
  const saved = await servers.call('getContact', { formattedName: 'Typed Before Expiry' });
  assert.equal(saved.organisation, 'Plumbing Ltd');
  assert.equal((await servers.call('searchContacts', { text: 'Typed' })).total, 1, 'saved once, not once per try');
});
